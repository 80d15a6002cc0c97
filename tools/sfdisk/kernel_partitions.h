#pragma once
// After a new table is written, the kernel must see it before anybody opens
// /dev/sda1: first the whole-disk re-read (BLKRRPART), then partition by
// partition (BLKPG) wherever the kernel's view still differs. The re-read
// alone is not enough: a kernel without a DOS partition parser accepts it
// and finds nothing, and a disk with a partition in use refuses it.

#include <cstdint>
#include <string>

#include "block_device.h"
#include "table_layout.h"

// Partition numbers looked after: the four primaries and the logical ones an
// old table may have left in the kernel.
constexpr int kMaxKernelPartitions = 64;

struct KernelPartition {
  enum class State { Absent, Present, Unknown } state = State::Unknown;
  uint64_t firstSector = 0;
  uint64_t sectorCount = 0;
};

enum class PartitionStep {
  Nothing,
  Delete,            // a missing partition is fine
  Add,
  AddUnlessPresent,  // "already there" is fine: the re-read made it
  DeleteThenAdd,     // a missing partition is fine for the delete
};

// What to do about partition `number` so that the kernel's view becomes
// `wanted` (empty for numbers past the table). Unknown means the kernel's
// view cannot be read (no /sys); after a successful re-read the kernel holds
// exactly what its parser found in the new table, if it has a parser.
PartitionStep planPartitionStep(const KernelPartition& current, const PartitionEntry& wanted,
                                bool rereadSucceeded);

// The kernel's partition `number` of `disk`, read from /sys.
KernelPartition readKernelPartition(const BlockDevice& disk, int number);

// Brings the kernel's partitions of `disk` in line with `table`. False, with
// the reason in `error`, when some partition could not be made right (in
// use, or the kernel keeps no partitions for this device).
[[nodiscard]] bool updateKernelPartitions(BlockDevice& disk, const PartitionTable& table,
                                          std::string& error);
