#pragma once
// Which whole disks the kernel knows, from the text of /proc/partitions:
//   major minor  #blocks  name
//
//      8        0   8388608 sda
//      8        1   8388544 sda1
// Partitions and devices that are never installation targets (loop, ram,
// sr, fd, zram, dm, md) are left out: under a test sandbox /proc/partitions
// names the machine's own devices too.

#include <string>
#include <vector>

// The names ("sda", not "/dev/sda") of the whole disks, in listed order.
std::vector<std::string> wholeDiskNames(const std::string& procPartitions);
