// A disk's old partition table (first sector and the chain of extended boot
// records, as a damaged or hostile disk may hold them) through the
// partitioning tool's dump, and the dump through the installer's slot count.

#include <cstring>
#include <string>
#include <vector>

#include "disk/partitioning.h"
#include "fuzz_check.h"
#include "mbr.h"
#include "table_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input is the disk from sector 0; a disk may claim more sectors than
  // the input holds (the reads past it fail, as on a short device).
  uint64_t totalSectors = size / kSectorSize;
  if (size % kSectorSize >= 2) totalSectors += data[size - 1] * 1000ull;
  size_t reads = 0;
  SectorReader fromInput = [&](uint64_t number, uint8_t* buffer) {
    ++reads;
    if (number >= size / kSectorSize) return false;
    memcpy(buffer, data + number * kSectorSize, kSectorSize);
    return true;
  };
  std::vector<SlotListing> slots;
  if (!listSlots(fromInput, totalSectors, slots)) return 0;
  FUZZ_CHECK(reads <= 1 + kMaxLogicalPartitions);
  FUZZ_CHECK(slots.empty() || slots.size() >= static_cast<size_t>(kPrimarySlots));
  FUZZ_CHECK(slots.size() <= static_cast<size_t>(kPrimarySlots + kMaxLogicalPartitions));

  for (const char* device : {"/dev/hda", "/dev/loop0"}) {
    std::string dump = formatDump(device, slots);
    FILE* stream = fmemopen(&dump[0], dump.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    FUZZ_CHECK(countTableSlots(stream) == static_cast<int>(slots.size()));
    fclose(stream);
  }
  return 0;
}
