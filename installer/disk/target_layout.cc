#include "disk/target_layout.h"

#include <cstdarg>
#include <cstdio>

uint32_t bootCylinders(uint32_t cylinderBytes) {
  // Summed in 64 bits: a 32-bit sum wraps for absurd geometries (over 4 GiB
  // per cylinder, less 10 MiB) and would make the boot partition empty.
  uint64_t sum = static_cast<uint64_t>(cylinderBytes) + (kBootPartitionBytes - 1);
  return static_cast<uint32_t>(sum / cylinderBytes);
}

int rootPartitionNumber(const DriveInfo& drive) { return drive.over1024Cylinders ? 2 : 1; }

const char* rootFileSystemType(const DriveInfo& drive) { return drive.over40MiB ? "ext3" : "ext2"; }

bool formatPath(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    if (size > 0) buffer[0] = '\0';
    return false;
  }
  return true;
}

bool partitionPath(char (&buffer)[kPathSize], const DriveInfo& drive, int number) {
  return formatPath(buffer, sizeof buffer, "%s%d", drive.device, number);
}
