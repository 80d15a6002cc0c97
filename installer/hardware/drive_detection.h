#pragma once
// Finding and sizing the hard disks with the partitioning tool's geometry
// listing ("/sbin/sfdisk -g").

#include "hardware/drive_info.h"

// The disk paths describeDrive knows, in order, null-terminated.
extern const char* const knownDrivePaths[];

// One run of the tool; the table of up to four disks when this run recorded
// at least one, else null.
DriveInfo* scanDrives();

// Up to twenty scans a second apart; fills `target` with the first disk and
// announces it. False (after "FATAL ERROR: no harddrives found") otherwise.
bool findHardDrive(DriveInfo& target);

// The operator-facing name of a disk path; unknown paths come back unchanged.
const char* describeDrive(const char* device);
