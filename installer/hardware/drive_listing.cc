#include "hardware/drive_listing.h"

#include <cstring>
#include <string>

#include "common/bounded_text.h"

namespace {

constexpr const char* kDevicePrefix = "/dev/";
constexpr const char* kBlanks = " \t\n\v\f\r";

// Drops what is left of a line that did not fit the buffer.
void skipRestOfLine(FILE* stream) {
  int c;
  do {
    c = getc(stream);
  } while (c != '\n' && c != EOF);
}

}  // namespace

bool parseGeometryLine(const char* line, GeometryLine& parsed) {
  if (strncmp(line, kDevicePrefix, strlen(kDevicePrefix)) != 0) return false;
  size_t length = strcspn(line, kBlanks);
  if (sscanf(line + length, "%u %*s %u %*s %u", &parsed.cylinders, &parsed.heads,
             &parsed.sectorsPerTrack) != 3) {
    return false;
  }
  // The device word goes into the fixed field through a bounded copy: a word
  // longer than the field is refused, never written past its end.
  std::string device(line, line[length - 1] == ':' ? length - 1 : length);
  return copyField(parsed.device, sizeof parsed.device, device.c_str());
}

int readDriveListing(FILE* listing, DriveInfo* table, int capacity) {
  int recorded = 0;
  char line[kListingLineSize];
  while (recorded < capacity && fgets(line, sizeof line, listing) != nullptr) {
    if (strchr(line, '\n') == nullptr) skipRestOfLine(listing);
    GeometryLine parsed;
    if (!parseGeometryLine(line, parsed)) continue;
    DriveInfo& entry = table[recorded];
    if (!entry.setDevice(parsed.device)) continue;  // cannot happen: measured above
    entry.setGeometry(parsed.cylinders, parsed.heads * parsed.sectorsPerTrack * 512u);
    ++recorded;
  }
  return recorded;
}
