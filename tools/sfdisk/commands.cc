#include "commands.h"

#include <algorithm>
#include <string>
#include <vector>

#include "block_device.h"
#include "disk_list.h"
#include "geometry.h"
#include "kernel_partitions.h"
#include "mbr.h"
#include "partition_lines.h"
#include "table_dump.h"
#include "table_layout.h"

namespace {

constexpr size_t kMaxInputBytes = 64 * 1024;

void complain(const std::string& message) { fprintf(stderr, "sfdisk: %s\n", message.c_str()); }

DiskGeometry geometryOf(const BlockDevice& disk, const Options& options) {
  DiskGeometry geometry =
      chooseGeometry(disk.kernelHeads(), disk.kernelSectorsPerTrack(), disk.totalSectors());
  if (options.heads != 0) geometry.heads = options.heads;
  if (options.sectorsPerTrack != 0) geometry.sectorsPerTrack = options.sectorsPerTrack;
  return geometry;
}

// "/dev/" and the name, with the "!" of names like "cciss!c0d0" as "/".
std::string devicePathOf(std::string name) {
  for (char& c : name) {
    if (c == '!') c = '/';
  }
  return "/dev/" + name;
}

bool readAll(FILE* input, std::string& text) {
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, input)) > 0) {
    text.append(buffer, n);
    if (text.size() > kMaxInputBytes) return false;
  }
  return !ferror(input);
}

}  // namespace

int runGeometry(const Options& options) {
  std::vector<std::string> devices = options.devices;
  if (devices.empty()) {
    FILE* list = fopen("/proc/partitions", "re");
    std::string text;
    bool read = list != nullptr && readAll(list, text);
    if (list != nullptr) fclose(list);
    if (!read) {
      complain("cannot read /proc/partitions: is /proc mounted?");
      return 1;
    }
    for (const std::string& name : wholeDiskNames(text)) devices.push_back(devicePathOf(name));
  }
  int status = 0;
  for (const std::string& device : devices) {
    BlockDevice disk;
    std::string error;
    if (!disk.open(device, /*writable=*/false, error)) {
      complain(error);
      status = 1;
      continue;
    }
    printf("%s\n", formatGeometryLine(device, geometryOf(disk, options)).c_str());
  }
  return status;
}

int runDump(const Options& options) {
  const std::string& device = options.devices[0];
  BlockDevice disk;
  std::string error;
  if (!disk.open(device, /*writable=*/false, error)) {
    complain(error);
    return 1;
  }
  std::vector<SlotListing> slots;
  SectorReader read = [&disk](uint64_t sector, uint8_t* buffer) {
    return disk.readSector(sector, buffer);
  };
  if (!listSlots(read, disk.totalSectors(), slots)) {
    complain("cannot read the first sector of " + device);
    return 1;
  }
  fputs(formatDump(device, slots).c_str(), stdout);
  if (slots.empty()) complain(device + ": no partition table");
  return 0;
}

int runWrite(const Options& options, FILE* input) {
  const std::string& device = options.devices[0];
  std::string text, error;
  if (!readAll(input, text)) {
    complain("cannot read the new table from standard input (or it is too long); nothing written");
    return 1;
  }
  std::vector<PartitionRequest> requests;
  if (!parsePartitionInput(text, requests, error)) {
    complain(error + "; nothing written");
    return 1;
  }
  BlockDevice disk;
  if (!disk.open(device, /*writable=*/true, error)) {
    complain(error);
    return 1;
  }
  DiskGeometry geometry = geometryOf(disk, options);
  PartitionTable table;
  if (!layOutTable(requests, geometry, table, error)) {
    complain(device + ": " + error + "; nothing written");
    return 1;
  }
  uint8_t sector[kSectorSize];
  if (!disk.readSector(0, sector)) {
    complain("cannot read the first sector of " + device + "; nothing written");
    return 1;
  }
  writeTable(table, geometry, sector);
  if (!disk.writeSectorDurably(0, sector, error)) {
    complain(error);
    return 1;
  }
  if (disk.isBlockDevice() && !updateKernelPartitions(disk, table, error)) {
    complain(error);
    complain("the new table is on " + device +
             ", but the kernel still uses the old one: restart before using the disk");
    return 1;
  }
  if (!options.quiet) {
    std::vector<SlotListing> slots;
    SectorReader fromMemory = [&sector](uint64_t number, uint8_t* buffer) {
      if (number != 0) return false;
      std::copy(sector, sector + kSectorSize, buffer);
      return true;
    };
    if (listSlots(fromMemory, disk.totalSectors(), slots)) {
      printf("New partition table of %s:\n%s", device.c_str(), formatDump(device, slots).c_str());
    }
  }
  return 0;
}
