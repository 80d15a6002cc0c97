#pragma once
// Finding and sizing the hard disks with the partitioning tool's geometry
// listing ("/sbin/sfdisk -g"), and naming them for the operator.

#include <functional>

#include "hardware/drive_info.h"
#include "hardware/sleeper.h"

constexpr int kDriveTableSize = 4;
constexpr int kDriveSearchAttempts = 20;

// The disks of the latest scan, from the first entry on. A scan overwrites
// the entries it records; the others keep what an earlier scan left (empty
// if none). Lives until the restart.
extern DriveInfo driveTable[kDriveTableSize];

// The disk paths describeDrive knows, in order, null-terminated.
extern const char* const knownDrivePaths[];

// One run of the tool (through the single piped-child slot). Returns
// driveTable when this run recorded at least one disk, else null: also when
// the tool could not be started or the slot was busy.
DriveInfo* scanDrives();

// Prints an empty line and "Looking for harddrives..." with the ticker's
// dots, scans up to twenty times a second apart, and copies the first disk
// of the first successful scan into `target`. Then prints an empty line and
// "Found harddrive as <describeDrive>" and returns true. Without a disk it
// prints "\nFATAL ERROR: no harddrives found" and returns false, leaving
// `target` as it was.
[[nodiscard]] bool findHardDrive(DriveInfo& target);

// findHardDrive with its scan and its waits supplied by the caller.
[[nodiscard]] bool findHardDriveWith(DriveInfo& target, const std::function<DriveInfo*()>& scan,
                                     Sleeper& sleeper);

// The operator-facing name of a disk path ("SATA 1" for "/dev/sda"); any
// other path comes back unchanged.
const char* describeDrive(const char* device);
