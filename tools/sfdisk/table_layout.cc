#include "table_layout.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint64_t kSectorNumberLimit = uint64_t{1} << 32;

std::string describe(int slot, const PartitionRequest& request) {
  char text[96];
  snprintf(text, sizeof text, "partition %d (cylinders %" PRIu32 " to %" PRIu64 ")", slot,
           request.startCylinder,
           uint64_t{request.startCylinder} + request.sizeCylinders - 1);
  return text;
}

}  // namespace

bool isExtendedType(uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }

bool layOutTable(const std::vector<PartitionRequest>& requests, const DiskGeometry& geometry,
                 PartitionTable& table, std::string& error) {
  table = PartitionTable{};
  const uint64_t cylinders = geometry.cylinders();
  const uint64_t perCylinder = geometry.sectorsPerCylinder();
  uint64_t firsts[kPrimarySlots] = {}, ends[kPrimarySlots] = {};

  for (size_t index = 0; index < requests.size(); ++index) {
    const PartitionRequest& request = requests[index];
    const int slot = static_cast<int>(index) + 1;
    if (request.isEmpty()) continue;
    if (slot > kPrimarySlots) {
      error = "more than four primary partitions (line for slot " + std::to_string(slot) + ")";
      return false;
    }
    if (isExtendedType(request.type)) {
      error = "partition " + std::to_string(slot) + ": extended partitions are not supported";
      return false;
    }
    uint64_t endCylinder = uint64_t{request.startCylinder} + request.sizeCylinders;
    if (endCylinder > cylinders) {
      error = describe(slot, request) + " ends past the end of the disk (" +
              std::to_string(cylinders) + " cylinders)";
      return false;
    }
    uint64_t first = request.startCylinder == 0 ? geometry.sectorsPerTrack
                                                : request.startCylinder * perCylinder;
    uint64_t end = endCylinder * perCylinder;
    if (end > kSectorNumberLimit) {
      error = describe(slot, request) + " lies beyond the 2 TiB a partition table can address";
      return false;
    }
    if (end <= first) {
      // Cylinder 0 of a one-head disk is a single track: nothing is left.
      error = describe(slot, request) + " holds no sector after the first track";
      return false;
    }
    for (int other = 0; other < slot - 1; ++other) {
      if (ends[other] == 0) continue;
      if (first < ends[other] && firsts[other] < end) {
        error = "partitions " + std::to_string(other + 1) + " and " + std::to_string(slot) +
                " overlap";
        return false;
      }
    }
    firsts[slot - 1] = first;
    ends[slot - 1] = end;
    PartitionEntry& entry = table.slots[slot - 1];
    entry.bootable = request.bootable;
    entry.type = request.type;
    entry.firstSector = static_cast<uint32_t>(first);
    entry.sectorCount = static_cast<uint32_t>(end - first);
  }
  return true;
}
