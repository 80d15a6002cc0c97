#pragma once
#include "hardware/drive_info.h"

// Hard-disk-image mode: the target disk carries its own installation files.
// True after "Software installed."; false on cancel or failure.
bool runDiskInstallation(DriveInfo& drive);
