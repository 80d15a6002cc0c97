#pragma once
#include "hardware/drive_info.h"

// CD-ROM mode, after drivers are loaded and `drive` was found.
// True after "Software installed."; false on cancel or failure.
bool runCdromInstallation(DriveInfo& drive);
