#pragma once
#include "flows/source_medium.h"
#include "hardware/drive_info.h"

// CD-ROM mode, after drivers are loaded and `drive` was found: the CD in the
// first IDE drive that mounts, the package menu, the two questions, then the
// installation onto `drive`. True after "Software installed."; false on
// cancel or failure (one line says why; a refused erase says nothing). The CD
// stays mounted on /floppy.
bool runCdromInstallation(DriveInfo& drive);

// The same with the medium's kernel side supplied by the caller.
bool runCdromInstallationWith(DriveInfo& drive, SourceMedium& medium);
