#include "disk/partitioning.h"

#include <cstring>

#include "disk/command_runner.h"
#include "disk/target_layout.h"

namespace {

constexpr const char* kSfdisk = "/sbin/sfdisk";
constexpr const char* kMke2fs = "/sbin/mke2fs";
constexpr char kSlotPrefix[] = "/dev/";
constexpr size_t kSlotPrefixLength = sizeof kSlotPrefix - 1;

// One line of sfdisk input; numbers are cylinders.
std::string line(const char* format, unsigned a, unsigned b = 0) {
  char text[64];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

// mke2fs on partition `number`, journalled or not; true on status 0.
bool makeFileSystem(const DriveInfo& drive, int number, bool journalled) {
  char partition[kPathSize];
  if (!partitionPath(partition, drive, number)) return false;
  int status = journalled ? runCommand(nullptr, kMke2fs, "-j", partition, nullptr)
                          : runCommand(nullptr, kMke2fs, partition, nullptr);
  return status == 0;
}

}  // namespace

bool layoutIsPossible(const DriveInfo& drive) {
  if (!drive.over1024Cylinders) return true;
  return drive.cylinderBytes > 0 && bootCylinders(drive.cylinderBytes) < drive.cylinders;
}

int countTableSlots(FILE* dump) {
  // Read byte by byte rather than as C strings: a zero byte inside a line
  // must not hide the end of that line, or the slot on the next one would go
  // uncounted and stay in the new table.
  int slots = 0;
  size_t column = 0;  // bytes of the current line read so far
  bool slotLine = true;
  for (int c; (c = getc(dump)) != EOF;) {
    if (c == '\n') {
      column = 0;
      slotLine = true;
      continue;
    }
    if (column < kSlotPrefixLength && c != kSlotPrefix[column]) slotLine = false;
    if (++column == kSlotPrefixLength && slotLine) ++slots;
  }
  return slots;
}

std::string partitionTableInput(const DriveInfo& drive, int oldSlotCount) {
  std::string input;
  int written;
  if (drive.over1024Cylinders) {
    uint32_t boot = bootCylinders(drive.cylinderBytes);
    input = line("0,%u,83,*\n", boot) + line("%u,%u,83,-\n", boot, drive.cylinders - boot);
    written = 2;
  } else {
    input = line("0,%u,83,*\n", drive.cylinders);
    written = 1;
  }
  for (; written < oldSlotCount; ++written) input += "0,0,0\n";
  return input;
}

bool partitionDisk(const DriveInfo& drive) {
  if (!layoutIsPossible(drive)) return false;

  FILE* dump = startWithOutput(kSfdisk, "-d", "-uC", drive.device, nullptr);
  if (dump == nullptr) return false;
  int oldSlots = countTableSlots(dump);
  (void)finishCommand(dump);  // a blank disk makes the dump fail: zero slots

  FILE* writer = startWithInput(kSfdisk, "-q", "-uC", drive.device, ">null", nullptr);
  if (writer == nullptr) return false;
  std::string input = partitionTableInput(drive, oldSlots);
  // A writer that stops reading early reports why in its status.
  (void)fputs(input.c_str(), writer);
  return finishCommand(writer) == 0;
}

bool formatPartitions(const DriveInfo& drive) {
  bool singleLayout = !drive.over1024Cylinders;
  if (!makeFileSystem(drive, 1, /*journalled=*/drive.over40MiB && singleLayout)) return false;
  if (singleLayout) return true;
  return makeFileSystem(drive, 2, /*journalled=*/drive.over40MiB);
}
