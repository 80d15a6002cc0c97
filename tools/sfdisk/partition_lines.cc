#include "partition_lines.h"

#include <cstdint>

namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t from = 0;
  while (true) {
    size_t comma = line.find(',', from);
    fields.push_back(trim(line.substr(from, comma == std::string::npos ? comma : comma - from)));
    if (comma == std::string::npos) return fields;
    from = comma + 1;
  }
}

// Accepts only plain digits in `base` whose value fits `limit`.
bool parseNumber(const std::string& text, unsigned base, uint64_t limit, uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > limit) return false;
  }
  return true;
}

}  // namespace

bool parsePartitionLine(const std::string& line, PartitionRequest& request, std::string& error) {
  std::vector<std::string> fields = splitFields(line);
  if (fields.size() < 3 || fields.size() > 4) {
    error = "expected start,size,type[,bootable]";
    return false;
  }
  uint64_t start, size, type;
  if (!parseNumber(fields[0], 10, UINT32_MAX, start)) {
    error = "bad start cylinder '" + fields[0] + "'";
    return false;
  }
  if (!parseNumber(fields[1], 10, UINT32_MAX, size)) {
    error = "bad size '" + fields[1] + "'";
    return false;
  }
  if (!parseNumber(fields[2], 16, 0xff, type)) {
    error = "bad partition type '" + fields[2] + "'";
    return false;
  }
  bool bootable = false;
  if (fields.size() == 4) {
    if (fields[3] == "*") {
      bootable = true;
    } else if (fields[3] != "-") {
      error = "bootable flag must be '*' or '-', not '" + fields[3] + "'";
      return false;
    }
  }
  if (size != 0 && type == 0) {
    // Every reader takes type 0 for an empty slot: the space would be lost.
    error = "a partition of type 0 is an empty slot; give it size 0";
    return false;
  }
  request.startCylinder = static_cast<uint32_t>(start);
  request.sizeCylinders = static_cast<uint32_t>(size);
  request.type = static_cast<uint8_t>(type);
  request.bootable = bootable;
  return true;
}

bool parsePartitionInput(const std::string& text, std::vector<PartitionRequest>& requests,
                         std::string& error) {
  requests.clear();
  size_t from = 0;
  int lineNumber = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    from = end + 1;
    ++lineNumber;
    if (trim(line).empty()) continue;
    PartitionRequest request;
    std::string why;
    if (!parsePartitionLine(line, request, why)) {
      error = "line " + std::to_string(lineNumber) + ": " + why;
      return false;
    }
    requests.push_back(request);
  }
  return true;
}
