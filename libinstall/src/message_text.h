#pragma once
// Messages name what a package holds, and a package may hold anything in a
// name: terminal control sequences, newlines, 4096 bytes. These keep a
// message one readable line on the operator's console.

#include <string>

namespace libinstall {

// Longest part of a name a message shows.
constexpr size_t kShownNameLength = 200;

// `name` in double quotes, cut to kShownNameLength bytes ("..." after the
// quote marks the cut). Its bytes are not escaped here: printableLine does
// that for the whole message.
std::string quotedName(const std::string& name);

// `text` with the backslash written as \\ and every byte outside printable
// ASCII (control bytes, DEL, bytes >= 0x80) as \ooo, three octal digits.
std::string printableLine(const std::string& text);

}  // namespace libinstall
