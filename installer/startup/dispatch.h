#pragma once
// The choice of installation mode and the close of every run.

#include "hardware/drive_info.h"

// Reads the package key (packages/package_key_file.h), runs the flow that
// the command line ("-hdd-install") or the first line of "/TYPE" ("cdrom",
// "net") selects, then closes the run: the license marker,
// the unmounts, the end of the abort window and, unless the flow succeeded
// (and always in CD-ROM mode), "Press ENTER to reboot".
void runInstallation(DriveInfo& target, int argc, char** argv);

// CD-ROM mode: raw keys, drivers, the target disk, then the CD-ROM flow.
bool runLocalInstallation(DriveInfo& target);

// Size of the buffer the mode text is read into (at most 79 characters).
constexpr int kTypeTextSize = 80;

// The first line of `path` without its newline, cut to 79 characters; empty
// when the file cannot be opened.
void readTypeText(const char* path, char (&text)[kTypeTextSize]);

// Whether "-hdd-install" stands among argv[1] .. argv[argc-1].
bool hasHardDiskSwitch(int argc, char** argv);

enum class InstallationMode { HardDisk, Cdrom, Network, Unknown };

// The switch wins; otherwise the type text must be "cdrom" or "net" exactly.
InstallationMode selectMode(bool hardDiskSwitch, const char* typeText);
