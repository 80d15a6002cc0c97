#include "message_text.h"

#include <cstdio>

namespace libinstall {

std::string quotedName(const std::string& name) {
  if (name.size() <= kShownNameLength) return "\"" + name + "\"";
  return "\"" + name.substr(0, kShownNameLength) + "\"...";
}

std::string printableLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      line += "\\\\";
    } else if (u >= 0x20 && u < 0x7f) {
      line += c;
    } else {
      char octal[5];
      snprintf(octal, sizeof octal, "\\%03o", u);
      line += octal;
    }
  }
  return line;
}

}  // namespace libinstall
