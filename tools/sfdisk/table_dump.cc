#include "table_dump.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

bool listSlots(const SectorReader& read, uint64_t totalSectors, std::vector<SlotListing>& slots) {
  slots.clear();
  uint8_t sector[kSectorSize];
  if (!read(0, sector)) return false;
  if (!hasSignature(sector)) return true;

  const RawEntry* extended = nullptr;
  RawEntry primaries[kPrimarySlots];
  for (int slot = 0; slot < kPrimarySlots; ++slot) {
    primaries[slot] = readEntry(sector, slot);
    slots.push_back({slot + 1, primaries[slot], primaries[slot].start});
    if (extended == nullptr && isExtendedType(primaries[slot].type) && primaries[slot].count != 0) {
      extended = &primaries[slot];
    }
  }
  if (extended == nullptr) return true;

  // Each extended boot record holds one logical partition (relative to the
  // record) and a link to the next record (relative to the extended one).
  const uint64_t base = extended->start;
  const uint64_t limit = std::min<uint64_t>(base + extended->count, totalSectors);
  uint64_t record = base;
  for (int logical = 0; logical < kMaxLogicalPartitions && record < limit; ++logical) {
    if (!read(record, sector) || !hasSignature(sector)) break;
    RawEntry entry = readEntry(sector, 0);
    slots.push_back({kPrimarySlots + 1 + logical, entry, record + entry.start});
    RawEntry link = readEntry(sector, 1);
    if (link.count == 0 || !isExtendedType(link.type)) break;
    uint64_t next = base + link.start;
    if (next <= record) break;  // links only ever lead forward
    record = next;
  }
  return true;
}

std::string partitionPath(const std::string& device, int number) {
  bool endsInDigit = !device.empty() && isdigit(static_cast<unsigned char>(device.back()));
  return device + (endsInDigit ? "p" : "") + std::to_string(number);
}

std::string formatDump(const std::string& device, const std::vector<SlotListing>& slots) {
  std::string text = "# partition table of " + device + "\nunit: sectors\n\n";
  for (const SlotListing& slot : slots) {
    bool empty = slot.entry.count == 0 && slot.entry.type == 0;
    char line[96];
    snprintf(line, sizeof line, " : start=%9" PRIu64 ", size=%9" PRIu32 ", Id=%2x%s\n",
             empty ? 0 : slot.absoluteStart, slot.entry.count, slot.entry.type,
             slot.entry.status & 0x80 ? ", bootable" : "");
    text += partitionPath(device, slot.number) + line;
  }
  return text;
}
