#pragma once
// How an installed system sits on its disk. One rule, read by partitioning,
// formatting, mounting, fstab, lilo.conf and the post-install step alike:
// without over1024Cylinders partition 1 holds the root; with it partition 1
// is a small ext2 boot partition (/boot) and partition 2 the root. The root
// is ext3 when over40MiB, else ext2.

#include <cstddef>
#include <cstdint>

#include "hardware/drive_info.h"

// Size of every path buffer of the disk code ("%s1", "%s/etc/fstab", ...).
constexpr size_t kPathSize = 80;

// The smallest boot partition: 10 MiB, in whole cylinders.
constexpr uint32_t kBootPartitionBytes = 10485760;

// ceil(kBootPartitionBytes / cylinderBytes).
// REQUIRES: cylinderBytes > 0.
uint32_t bootCylinders(uint32_t cylinderBytes);

// 2 in the two-partition layout, else 1.
int rootPartitionNumber(const DriveInfo& drive);

// "ext3" when the disk is over 40 MiB, else "ext2".
const char* rootFileSystemType(const DriveInfo& drive);

// snprintf into `buffer` that refuses to cut: false (buffer emptied) when the
// text does not fit, so that a cut path never names the wrong file.
[[nodiscard]] bool formatPath(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// `device` followed by the partition number, e.g. "/dev/hda1".
[[nodiscard]] bool partitionPath(char (&buffer)[kPathSize], const DriveInfo& drive, int number);
