#include "mbr.h"

#include <cstring>

namespace {

void putLittleEndian32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLittleEndian32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

constexpr uint8_t kBootableFlag = 0x80;

}  // namespace

Chs chsOf(uint64_t sector, const DiskGeometry& geometry) {
  Chs chs;
  uint64_t cylinder = sector / geometry.sectorsPerCylinder();
  if (cylinder > kMaxChsCylinder) return kBeyondChs;
  chs.cylinder = static_cast<uint32_t>(cylinder);
  chs.head = static_cast<uint32_t>(sector / geometry.sectorsPerTrack % geometry.heads);
  chs.sector = static_cast<uint32_t>(sector % geometry.sectorsPerTrack + 1);
  return chs;
}

void packChs(const Chs& chs, uint8_t bytes[3]) {
  bytes[0] = static_cast<uint8_t>(chs.head);
  bytes[1] = static_cast<uint8_t>((chs.sector & 0x3f) | ((chs.cylinder >> 2) & 0xc0));
  bytes[2] = static_cast<uint8_t>(chs.cylinder & 0xff);
}

Chs unpackChs(const uint8_t bytes[3]) {
  Chs chs;
  chs.head = bytes[0];
  chs.sector = bytes[1] & 0x3f;
  chs.cylinder = (static_cast<uint32_t>(bytes[1] & 0xc0) << 2) | bytes[2];
  return chs;
}

void writeTable(const PartitionTable& table, const DiskGeometry& geometry,
                uint8_t sector[kSectorSize]) {
  for (int slot = 0; slot < kPrimarySlots; ++slot) {
    uint8_t* entry = sector + kBootCodeSize + slot * kEntrySize;
    memset(entry, 0, kEntrySize);
    const PartitionEntry& partition = table.slots[slot];
    if (partition.isEmpty()) continue;
    entry[0] = partition.bootable ? kBootableFlag : 0;
    packChs(chsOf(partition.firstSector, geometry), entry + 1);
    entry[4] = partition.type;
    packChs(chsOf(uint64_t{partition.firstSector} + partition.sectorCount - 1, geometry),
            entry + 5);
    putLittleEndian32(entry + 8, partition.firstSector);
    putLittleEndian32(entry + 12, partition.sectorCount);
  }
  sector[kSignatureOffset] = 0x55;
  sector[kSignatureOffset + 1] = 0xaa;
}

bool hasSignature(const uint8_t sector[kSectorSize]) {
  return sector[kSignatureOffset] == 0x55 && sector[kSignatureOffset + 1] == 0xaa;
}

RawEntry readEntry(const uint8_t sector[kSectorSize], int slot) {
  const uint8_t* entry = sector + kBootCodeSize + slot * kEntrySize;
  RawEntry raw;
  raw.status = entry[0];
  raw.first = unpackChs(entry + 1);
  raw.type = entry[4];
  raw.last = unpackChs(entry + 5);
  raw.start = getLittleEndian32(entry + 8);
  raw.count = getLittleEndian32(entry + 12);
  return raw;
}
