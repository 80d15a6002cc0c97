#pragma once
#include "flows/source_medium.h"
#include "hardware/drive_info.h"
#include "hardware/sleeper.h"

// Hard-disk-image mode: the target disk carries its own installation files
// ("mbr", "autorun.scr", the packages, optionally "CHOOSE") in a FAT file
// system on the whole disk. Everything is read into memory before the disk
// is rewritten; `drive` is filled with the disk. True after "Software
// installed."; false on cancel or failure (one line says why).
bool runDiskInstallation(DriveInfo& drive);

// The same with the medium's kernel side and the waits supplied by the caller.
bool runDiskInstallationWith(DriveInfo& drive, SourceMedium& medium, Sleeper& sleeper);

// The most packages the flow holds in memory at once; a larger choice is
// refused before anything is read.
constexpr unsigned kMaxPackageImages = 50;
