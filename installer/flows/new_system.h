#pragma once
// The end every flow shares once its packages and files are in.

#include "hardware/drive_info.h"

// finishInstallation, and the flow's line when the new system did not reach
// the disk: "\nFATAL ERROR: the new system could not be written to the disk:
// <reason>". True when it did.
[[nodiscard]] bool completeNewSystem(const DriveInfo& drive);
