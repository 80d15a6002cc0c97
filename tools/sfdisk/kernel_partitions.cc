#include "kernel_partitions.h"

#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "geometry.h"
#include "table_dump.h"

namespace {

using State = KernelPartition::State;

bool readNumber(const std::string& path, uint64_t& value) {
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  unsigned long long number = 0;
  bool read = fscanf(file, "%llu", &number) == 1;
  fclose(file);
  value = number;
  return read;
}

// BLKPG with one partition; the ioctl's result, errno as it left it.
int partitionRequest(int fd, int operation, int number, uint64_t first, uint64_t count) {
  struct blkpg_partition partition {};
  partition.pno = number;
  partition.start = static_cast<long long>(first * kSectorSize);
  partition.length = static_cast<long long>(count * kSectorSize);
  struct blkpg_ioctl_arg request {};
  request.op = operation;
  request.datalen = sizeof partition;
  request.data = &partition;
  return ioctl(fd, BLKPG, &request);
}

std::string failure(const BlockDevice& disk, int number, const char* what) {
  return "cannot " + std::string(what) + " partition " + std::to_string(number) + " of " +
         disk.path() + ": " + strerror(errno);
}

}  // namespace

PartitionStep planPartitionStep(const KernelPartition& current, const PartitionEntry& wanted,
                                bool rereadSucceeded) {
  switch (current.state) {
    case State::Absent:
      return wanted.isEmpty() ? PartitionStep::Nothing : PartitionStep::Add;
    case State::Present:
      if (wanted.isEmpty()) return PartitionStep::Delete;
      if (current.firstSector == wanted.firstSector && current.sectorCount == wanted.sectorCount) {
        return PartitionStep::Nothing;
      }
      return PartitionStep::DeleteThenAdd;
    case State::Unknown:
      if (rereadSucceeded) {
        return wanted.isEmpty() ? PartitionStep::Nothing : PartitionStep::AddUnlessPresent;
      }
      return wanted.isEmpty() ? PartitionStep::Delete : PartitionStep::DeleteThenAdd;
  }
  return PartitionStep::Nothing;
}

KernelPartition readKernelPartition(const BlockDevice& disk, int number) {
  KernelPartition partition;
  char diskDirectory[64];
  snprintf(diskDirectory, sizeof diskDirectory, "/sys/dev/block/%u:%u",
           major(disk.deviceNumber()), minor(disk.deviceNumber()));
  char target[4096];
  ssize_t length = readlink(diskDirectory, target, sizeof target - 1);
  if (length <= 0) return partition;  // no /sys: unknown
  target[length] = '\0';
  const char* slash = strrchr(target, '/');
  std::string diskName = slash != nullptr ? slash + 1 : target;
  // Partition directories carry the kernel's names ("loop3p1"), whatever
  // path the tool was given.
  std::string directory = std::string(diskDirectory) + "/" + partitionPath(diskName, number);
  struct stat status;
  if (stat(directory.c_str(), &status) != 0) {
    partition.state = State::Absent;
    return partition;
  }
  if (readNumber(directory + "/start", partition.firstSector) &&
      readNumber(directory + "/size", partition.sectorCount)) {
    partition.state = State::Present;
  }
  return partition;
}

bool updateKernelPartitions(BlockDevice& disk, const PartitionTable& table, std::string& error) {
  const int fd = disk.descriptor();
  const bool reread = ioctl(fd, BLKRRPART) == 0;
  const PartitionEntry none;
  auto wantedAt = [&](int number) -> const PartitionEntry& {
    return number <= kPrimarySlots ? table.slots[number - 1] : none;
  };
  PartitionStep steps[kMaxKernelPartitions + 1];
  for (int number = 1; number <= kMaxKernelPartitions; ++number) {
    steps[number] = planPartitionStep(readKernelPartition(disk, number), wantedAt(number), reread);
  }
  bool allRight = true;
  auto fail = [&](int number, const char* what) {
    if (allRight) error = failure(disk, number, what);
    allRight = false;
  };
  // Every removal before any addition: a new partition may cover the place
  // of an old one with another number.
  bool removed[kMaxKernelPartitions + 1] = {};
  for (int number = 1; number <= kMaxKernelPartitions; ++number) {
    removed[number] = true;
    if (steps[number] != PartitionStep::Delete && steps[number] != PartitionStep::DeleteThenAdd) {
      continue;
    }
    if (partitionRequest(fd, BLKPG_DEL_PARTITION, number, 0, 0) != 0 && errno != ENXIO) {
      removed[number] = false;
      fail(number, "remove the old");
    }
  }
  for (int number = 1; number <= kMaxKernelPartitions; ++number) {
    PartitionStep step = steps[number];
    if (step != PartitionStep::Add && step != PartitionStep::DeleteThenAdd &&
        step != PartitionStep::AddUnlessPresent) {
      continue;
    }
    if (!removed[number]) continue;  // already reported
    const PartitionEntry& wanted = wantedAt(number);
    if (partitionRequest(fd, BLKPG_ADD_PARTITION, number, wanted.firstSector,
                         wanted.sectorCount) != 0 &&
        !(step == PartitionStep::AddUnlessPresent && errno == EBUSY)) {
      fail(number, "add");
    }
  }
  return allRight;
}
