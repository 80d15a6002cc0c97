#pragma once
// The partitioning tool's geometry listing ("sfdisk -g"), one disk a line:
//   /dev/hda: 1024 cylinders, 255 heads, 63 sectors/track
// Pure parsing: the stream comes from wherever the caller got it.

#include <cstdio>

#include "hardware/drive_info.h"

// Lines longer than this are cut; the rest of such a line is dropped.
constexpr int kListingLineSize = 128;

struct GeometryLine {
  char device[DriveInfo::kDeviceSize] = {};
  unsigned cylinders = 0;
  unsigned heads = 0;
  unsigned sectorsPerTrack = 0;
};

// Parses one line: it must begin with "/dev/", and a device word, a cylinder
// count, a word, a head count, a word and a sector count must follow
// ("%s %u %*s %u %*s %u"). One ":" ending the device word is dropped. A device
// word that does not fit DriveInfo::device with its terminator makes the line
// unusable, like a line without the numbers.
[[nodiscard]] bool parseGeometryLine(const char* line, GeometryLine& parsed);

// Reads `listing` line by line and records each usable line in the next
// entry of `table`, from the first on: device, then cylinders and
// heads x sectors x 512 bytes (in 32 bits). Stops reading once `capacity`
// entries are recorded. Entries not reached keep their contents. Returns the
// number recorded.
int readDriveListing(FILE* listing, DriveInfo* table, int capacity);
