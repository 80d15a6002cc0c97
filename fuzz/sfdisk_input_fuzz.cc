// The partitioning tool's input lines against a disk of any geometry: a
// table the tool accepts must read back as it was laid out, keep the first
// track free, fit the disk, overlap nowhere, and list one dump line per slot
// for the installer's slot count.

#include <cstring>
#include <string>
#include <vector>

#include "disk/partitioning.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "geometry.h"
#include "mbr.h"
#include "partition_lines.h"
#include "table_dump.h"
#include "table_layout.h"

namespace {

uint64_t readNumber(const uint8_t* data, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= uint64_t{data[i]} << (8 * i);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kGeometryBytes = 10;  // heads, sectors per track, 8 bytes of disk size
  if (size < kGeometryBytes) return 0;
  DiskGeometry geometry = chooseGeometry(data[0], data[1], readNumber(data + 2, 8));
  std::string text(reinterpret_cast<const char*>(data + kGeometryBytes), size - kGeometryBytes);

  std::vector<PartitionRequest> requests;
  std::string error;
  if (!parsePartitionInput(text, requests, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  PartitionTable table;
  if (!layOutTable(requests, geometry, table, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  uint8_t sector[kSectorSize];
  memset(sector, 0xA5, sizeof sector);  // boot code the tool must keep
  writeTable(table, geometry, sector);
  for (size_t i = 0; i < kBootCodeSize; ++i) FUZZ_CHECK(sector[i] == 0xA5);

  std::vector<SlotListing> slots;
  SectorReader fromMemory = [&sector](uint64_t number, uint8_t* buffer) {
    if (number != 0) return false;
    memcpy(buffer, sector, kSectorSize);
    return true;
  };
  FUZZ_CHECK(listSlots(fromMemory, geometry.totalSectors, slots));
  FUZZ_CHECK(slots.size() == kPrimarySlots);
  for (int slot = 0; slot < kPrimarySlots; ++slot) {
    const PartitionEntry& laid = table.slots[slot];
    const RawEntry& read = slots[slot].entry;
    FUZZ_CHECK(read.start == laid.firstSector && read.count == laid.sectorCount);
    FUZZ_CHECK(read.type == laid.type && ((read.status & 0x80) != 0) == laid.bootable);
    if (laid.isEmpty()) continue;
    uint64_t end = uint64_t{laid.firstSector} + laid.sectorCount;
    FUZZ_CHECK(laid.firstSector >= geometry.sectorsPerTrack);
    FUZZ_CHECK(end <= geometry.cylinders() * geometry.sectorsPerCylinder());
    for (int other = 0; other < slot; ++other) {
      const PartitionEntry& before = table.slots[other];
      if (before.isEmpty()) continue;
      FUZZ_CHECK(end <= before.firstSector ||
                 uint64_t{before.firstSector} + before.sectorCount <= laid.firstSector);
    }
  }

  std::string dump = formatDump("/dev/sda", slots);
  FILE* stream = fmemopen(&dump[0], dump.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  FUZZ_CHECK(countTableSlots(stream) == static_cast<int>(slots.size()));
  fclose(stream);
  return 0;
}
