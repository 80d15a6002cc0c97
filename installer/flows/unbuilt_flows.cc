// The installation flows are not part of this build yet. Each one fails with
// a fatal line, so that a medium built now never pretends to have installed.
#include <cstdio>

#include "flows/cdrom_installation.h"
#include "flows/disk_installation.h"

bool runDiskInstallation(DriveInfo&) {
  puts("\nFATAL ERROR: hard disk installation is not part of this build");
  return false;
}

bool runCdromInstallation(DriveInfo&) {
  puts("\nFATAL ERROR: CD-ROM installation is not part of this build");
  return false;
}
