#pragma once
// Reads a disk's partition table back and lists it in the classic dump
// format, one line per slot, each beginning with the partition's path:
//   # partition table of /dev/sda
//   unit: sectors
//
//   /dev/sda1 : start=       63, size= 16771797, Id=83, bootable
//   /dev/sda2 : start=        0, size=        0, Id= 0
// The four primary slots are always listed when the disk carries a table;
// the slots of logical partitions follow when an extended partition exists.
// A disk without a table (no 55 AA) lists no slot at all.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mbr.h"

// Reads 512-byte sector `sector` into `buffer`; false when it cannot.
using SectorReader = std::function<bool(uint64_t sector, uint8_t* buffer)>;

struct SlotListing {
  int number = 0;               // 1 to 4 primary, 5 on logical
  RawEntry entry;
  uint64_t absoluteStart = 0;   // entry.start made relative to the disk
};

// Follows at most this many extended boot records: a damaged chain may loop.
constexpr int kMaxLogicalPartitions = 60;

// Fills `slots`. Returns false when the first sector cannot be read; a disk
// without a signature gives true and no slots. A broken chain of logical
// partitions ends the listing where it breaks.
[[nodiscard]] bool listSlots(const SectorReader& read, uint64_t totalSectors,
                             std::vector<SlotListing>& slots);

// The path of partition `number` of `device`: "/dev/sda" gives "/dev/sda1",
// a name ending in a digit gets a "p" first ("/dev/loop0p1").
std::string partitionPath(const std::string& device, int number);

std::string formatDump(const std::string& device, const std::vector<SlotListing>& slots);
