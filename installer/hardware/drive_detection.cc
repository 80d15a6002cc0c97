#include "hardware/drive_detection.h"

#include <cstdio>

// Not built yet: no disk can be found.
const char* const knownDrivePaths[] = {nullptr};

DriveInfo* scanDrives() { return nullptr; }

bool findHardDrive(DriveInfo&) {
  puts("\nFATAL ERROR: hard-drive detection is not part of this build");
  return false;
}

const char* describeDrive(const char* device) { return device; }
