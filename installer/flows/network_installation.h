#pragma once
#include "hardware/drive_info.h"

// Network mode: drivers, packages and scripts from an installation server.
// True once the software is installed and the closing wait has ended.
bool runNetworkInstallation(DriveInfo& target);
