#pragma once
// ANSI (ECMA-48) screen control and line output for an 80-column console.
// Everything writes to standard output and does not flush.

#include <cstddef>

constexpr int screenWidth = 80;

// Text attribute flags, combined by OR.
enum TextAttribute : int {
  TextUnderline = 1,
  TextReverse = 2,
  TextBlink = 4,
  TextBold = 8,
};

// Resets all attributes, then switches on those in `flags`.
void setTextAttributes(int flags);
void clearLine();
void hideCursor(bool hide);
void clearScreen();
// Row first, column second, passed through unchanged: column 0 is the left
// edge (terminals read it as 1).
void moveCursor(int column, int row);

// Writes `length` bytes of `text` (which need not be terminated there) and a
// newline; centred lines get (80 - length) / 2 leading blanks.
void printLine(const char* text, size_t length, bool centred);
// printLine for every piece between newlines, the piece after the last one
// included even when empty.
void printLines(const char* text, bool centred);
// Word-wraps `text` into lines of at most 78 characters, each word followed
// by one blank. A word too long for a line stands on a line of its own.
void printWrapped(const char* text, bool centred);
