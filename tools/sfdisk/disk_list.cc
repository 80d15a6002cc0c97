#include "disk_list.h"

#include <cctype>
#include <cstdio>

namespace {

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isSkippedKind(const std::string& name) {
  for (const char* prefix : {"loop", "ram", "sr", "fd", "zram", "dm-", "md"}) {
    if (startsWith(name, prefix)) return true;
  }
  return false;
}

bool allDigits(const std::string& text, size_t from) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// "sda1" of "sda", "mmcblk0p1" of "mmcblk0".
bool isPartitionOf(const std::string& name, const std::string& disk) {
  if (name.size() <= disk.size() || !startsWith(name, disk.c_str())) return false;
  size_t rest = disk.size();
  if (name[rest] == 'p' && isdigit(static_cast<unsigned char>(disk.back()))) ++rest;
  return allDigits(name, rest);
}

// IDE, SCSI/SATA and virtio disks are named by letters; a trailing number
// makes a partition even when its disk is not listed.
bool isLetteredPartition(const std::string& name) {
  for (const char* prefix : {"hd", "sd", "vd", "xvd"}) {
    if (startsWith(name, prefix) && isdigit(static_cast<unsigned char>(name.back()))) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> wholeDiskNames(const std::string& procPartitions) {
  std::vector<std::string> disks;
  size_t from = 0;
  while (from < procPartitions.size()) {
    size_t end = procPartitions.find('\n', from);
    if (end == std::string::npos) end = procPartitions.size();
    std::string line = procPartitions.substr(from, end - from);
    from = end + 1;
    unsigned major, minor;
    unsigned long long blocks;
    char name[64];
    int used = 0;
    // The header's first word is not a number, so it never matches.
    if (sscanf(line.c_str(), "%u %u %llu %63s%n", &major, &minor, &blocks, name, &used) != 4) {
      continue;
    }
    std::string disk = name;
    if (isSkippedKind(disk) || isLetteredPartition(disk)) continue;
    bool partition = false;
    for (const std::string& known : disks) partition = partition || isPartitionOf(disk, known);
    if (!partition) disks.push_back(disk);
  }
  return disks;
}
