#include "module_list.h"

namespace {
constexpr const char* kBlanks = " \t\r";
}  // namespace

std::vector<std::string> parseModuleList(const std::string& text) {
  std::vector<std::string> entries;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos || line[first] == '#') continue;
    size_t last = line.find_last_not_of(kBlanks);
    entries.push_back(line.substr(first, last - first + 1));
  }
  return entries;
}
