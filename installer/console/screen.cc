#include "console/screen.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {
// A line collects words until the next one would pass this many characters.
constexpr size_t kWrapLimit = 77;

bool isWordSeparator(char c) { return c == ' ' || c == '\n'; }
}  // namespace

void setTextAttributes(int flags) {
  fputs("\033[m", stdout);
  if (flags & TextUnderline) fputs("\033[4m", stdout);
  if (flags & TextReverse) fputs("\033[7m", stdout);
  if (flags & TextBlink) fputs("\033[5m", stdout);
  if (flags & TextBold) fputs("\033[1m", stdout);
}

void clearLine() { fputs("\033[2K", stdout); }

void hideCursor(bool hide) { fputs(hide ? "\033[?25l" : "\033[?25h", stdout); }

void clearScreen() { fputs("\033[2J\033[H", stdout); }

void moveCursor(int column, int row) { printf("\033[%d;%dH", row, column); }

void printLine(const char* text, size_t length, bool centred) {
  if (centred && length < static_cast<size_t>(screenWidth)) {
    for (size_t i = 0; i < (screenWidth - length) / 2; ++i) fputc(' ', stdout);
  }
  fwrite(text, 1, length, stdout);
  fputc('\n', stdout);
}

void printLines(const char* text, bool centred) {
  const char* start = text;
  for (const char* newline; (newline = strchr(start, '\n')) != nullptr; start = newline + 1) {
    printLine(start, static_cast<size_t>(newline - start), centred);
  }
  printLine(start, strlen(start), centred);
}

void printWrapped(const char* text, bool centred) {
  // The line outgrows the screen only for a single word longer than the
  // limit: such a word stands whole on a line of its own, and the line it
  // closed is written before it, even when empty.
  std::string line;
  const char* p = text;
  for (;;) {
    while (*p != '\0' && isWordSeparator(*p)) ++p;
    if (*p == '\0') break;
    const char* word = p;
    while (*p != '\0' && !isWordSeparator(*p)) ++p;
    size_t length = static_cast<size_t>(p - word);
    if (length + line.size() > kWrapLimit) {
      printLine(line.data(), line.size(), centred);
      line.clear();
    }
    line.append(word, length);
    line += ' ';
  }
  printLine(line.data(), line.size(), centred);
}
