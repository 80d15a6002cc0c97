#pragma once
// The disk geometry the tool works in: heads and sectors per track from the
// kernel (or the caller), cylinders derived from the disk's size. Cylinder
// units on the command line and in the input are cylinders of this geometry.

#include <cstdint>
#include <string>

constexpr uint32_t kSectorSize = 512;
// Used when the kernel does not answer (loop devices, image files) or answers
// with something a partition table cannot express.
constexpr uint32_t kDefaultHeads = 255;
constexpr uint32_t kDefaultSectorsPerTrack = 63;
// The largest values the CHS fields of a partition entry can hold.
constexpr uint32_t kMaxHeads = 255;
constexpr uint32_t kMaxSectorsPerTrack = 63;

struct DiskGeometry {
  uint32_t heads = kDefaultHeads;
  uint32_t sectorsPerTrack = kDefaultSectorsPerTrack;
  uint64_t totalSectors = 0;  // the whole disk, in 512-byte sectors

  uint64_t sectorsPerCylinder() const { return uint64_t{heads} * sectorsPerTrack; }
  // Whole cylinders only: a partial cylinder at the end is never used.
  uint64_t cylinders() const { return totalSectors / sectorsPerCylinder(); }
};

// True when both numbers fit the CHS fields of a partition entry.
bool isUsableGeometry(uint32_t heads, uint32_t sectorsPerTrack);

// The geometry of a disk of `totalSectors` whose kernel reported `heads` and
// `sectorsPerTrack` (0 when it did not answer). Unusable kernel values fall
// back to 255 heads and 63 sectors.
DiskGeometry chooseGeometry(uint32_t heads, uint32_t sectorsPerTrack, uint64_t totalSectors);

// "/dev/sda: 1024 cylinders, 255 heads, 63 sectors/track" (no newline).
std::string formatGeometryLine(const std::string& device, const DiskGeometry& geometry);
