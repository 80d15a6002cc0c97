#pragma once
// Turns the requested partitions (in cylinders) into the four slots of a DOS
// partition table (in sectors), refusing anything the disk cannot hold.
//
// Placement, as the classic tool did it: a partition that starts at cylinder
// 0 begins one track in, so the first track (boot sector and whatever boot
// code follows it) stays outside every partition; any other partition starts
// on its cylinder boundary; every partition ends on a cylinder boundary.

#include <cstdint>
#include <string>
#include <vector>

#include "geometry.h"
#include "partition_lines.h"

constexpr int kPrimarySlots = 4;

struct PartitionEntry {
  bool bootable = false;
  uint8_t type = 0;
  uint32_t firstSector = 0;
  uint32_t sectorCount = 0;  // 0: the slot is empty

  bool isEmpty() const { return sectorCount == 0; }
};

struct PartitionTable {
  PartitionEntry slots[kPrimarySlots];
};

// True for the types that announce an extended partition (a chain of
// logical partitions inside it).
bool isExtendedType(uint8_t type);

// Lays the requests out for slots 1, 2, ... in order; slots without a request
// are empty. Requests past slot 4 are accepted only when they are empty (they
// clear logical slots that an old table had). Returns false, with the reason
// in `error`, for more than four partitions, an extended type, overlaps, a
// partition past the last whole cylinder or past what 32-bit sector numbers
// reach.
[[nodiscard]] bool layOutTable(const std::vector<PartitionRequest>& requests,
                               const DiskGeometry& geometry, PartitionTable& table,
                               std::string& error);
