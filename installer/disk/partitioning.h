#pragma once
// Laying the new partition table on the target disk (through /sbin/sfdisk in
// cylinder units) and making its file systems (through /sbin/mke2fs). The
// layouts follow target_layout.h. Nothing here prints: the progress line and
// the error line are the caller's.

#include <cstdio>
#include <string>

#include "hardware/drive_info.h"

// Writes the layout's table: asks "sfdisk -d -uC <device>" how many slots the
// old table lists, then feeds "sfdisk -q -uC <device>" (output to the log
// console) the new partitions and an empty line for every further old slot.
// True when the writer accepted the table (status 0). False when either
// sfdisk could not be started, when the writer refused the table or could
// not make the kernel see it (formatting would otherwise go ahead on the old
// partitions), or when the geometry allows no two-partition layout (no
// cylinder size, or a boot partition that would fill the disk; nothing is
// written then). The dump's status is not examined: a blank disk has none.
[[nodiscard]] bool partitionDisk(const DriveInfo& drive);

// Runs mke2fs on partition 1 (with "-j" only for a single-layout disk over
// 40 MiB) and, in the two-partition layout, on partition 2 (with "-j" over
// 40 MiB). True when every run exited with status 0; stops at the first
// failure.
[[nodiscard]] bool formatPartitions(const DriveInfo& drive);

// The number of lines of an sfdisk dump that begin with "/dev/": one per
// slot of the old table, empty slots included. Reads to the end of `dump`.
int countTableSlots(FILE* dump);

// sfdisk's input for the layout of `drive` with `oldSlotCount` slots to
// empty: "0,<boot>,83,*" and "<boot>,<rest>,83,-", or "0,<cylinders>,83,*",
// then "0,0,0" lines up to the old slot count.
// REQUIRES: layoutIsPossible(drive).
std::string partitionTableInput(const DriveInfo& drive, int oldSlotCount);

// False for a two-partition disk whose geometry leaves no room for a root
// partition behind the 10 MiB boot partition (or has no cylinder size).
bool layoutIsPossible(const DriveInfo& drive);
