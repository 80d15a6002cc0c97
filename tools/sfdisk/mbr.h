#pragma once
// The DOS partition table in a disk's first sector: bytes 0 to 445 are boot
// code (and are never touched here), 446 to 509 hold four 16-byte entries,
// 510 and 511 the signature 55 AA. Extended boot records use the same shape.

#include <cstddef>
#include <cstdint>

#include "geometry.h"
#include "table_layout.h"

constexpr size_t kBootCodeSize = 446;
constexpr size_t kEntrySize = 16;
constexpr size_t kSignatureOffset = 510;
// The highest cylinder a CHS field can name. Later positions are written as
// the conventional marker 1023/254/63, whatever the geometry: firmware and
// boot loaders read it as "use the sector numbers (LBA) instead".
constexpr uint32_t kMaxChsCylinder = 1023;

struct Chs {
  uint32_t cylinder = 0;
  uint32_t head = 0;
  uint32_t sector = 0;  // 1-based
};
constexpr Chs kBeyondChs{kMaxChsCylinder, 254, 63};

// The CHS address of `sector` in `geometry`, clamped past cylinder 1023.
Chs chsOf(uint64_t sector, const DiskGeometry& geometry);

// Packs a CHS address into the three bytes of an entry (head; sector with the
// cylinder's high two bits; the cylinder's low eight bits).
void packChs(const Chs& chs, uint8_t bytes[3]);
Chs unpackChs(const uint8_t bytes[3]);

// Writes the four entries and the signature into `sector`; bytes 0 to 445
// keep what they held. Empty slots become sixteen zero bytes.
void writeTable(const PartitionTable& table, const DiskGeometry& geometry,
                uint8_t sector[kSectorSize]);

bool hasSignature(const uint8_t sector[kSectorSize]);

// One entry as stored: the start is relative to whatever record holds it.
struct RawEntry {
  uint8_t status = 0;  // 0x80: bootable
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
  Chs first, last;
};

// REQUIRES: 0 <= slot < 4.
RawEntry readEntry(const uint8_t sector[kSectorSize], int slot);
