#include "geometry.h"

#include <cinttypes>
#include <cstdio>

bool isUsableGeometry(uint32_t heads, uint32_t sectorsPerTrack) {
  return heads >= 1 && heads <= kMaxHeads && sectorsPerTrack >= 1 &&
         sectorsPerTrack <= kMaxSectorsPerTrack;
}

DiskGeometry chooseGeometry(uint32_t heads, uint32_t sectorsPerTrack, uint64_t totalSectors) {
  DiskGeometry geometry;
  if (isUsableGeometry(heads, sectorsPerTrack)) {
    geometry.heads = heads;
    geometry.sectorsPerTrack = sectorsPerTrack;
  }
  geometry.totalSectors = totalSectors;
  return geometry;
}

std::string formatGeometryLine(const std::string& device, const DiskGeometry& geometry) {
  char numbers[96];
  snprintf(numbers, sizeof numbers, ": %" PRIu64 " cylinders, %" PRIu32 " heads, %" PRIu32
           " sectors/track", geometry.cylinders(), geometry.heads, geometry.sectorsPerTrack);
  return device + numbers;
}
