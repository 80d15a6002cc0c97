#include "text_fields.h"

namespace libinstall {

bool parseDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool parseCanonicalDecimal(const std::string& text, uint64_t* value) {
  return !(text.size() > 1 && text[0] == '0') && parseDecimal(text, value);
}

bool valueAfter(const std::string& line, const char* name, std::string* value) {
  std::string prefix = std::string(name) + ": ";
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  *value = line.substr(prefix.size());
  return true;
}

}  // namespace libinstall
