#include "flows/new_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "disk/post_install.h"

bool completeNewSystem(const DriveInfo& drive) {
  if (finishInstallation(drive)) return true;
  // Reporting success here would restart into a disk without the system.
  printf("\nFATAL ERROR: the new system could not be written to the disk: %s\n", strerror(errno));
  return false;
}
