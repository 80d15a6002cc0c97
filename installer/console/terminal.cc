#include "console/terminal.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "common/retry_io.h"

namespace {
constexpr int kEscape = 0x1B;
constexpr char kBell = 0x07;

void ringBell() {
  fputc(kBell, stdout);
  fflush(stdout);
}
}  // namespace

TerminalState::~TerminalState() { restore(); }

void TerminalState::enterRawMode() {
  if (rawActive == 1) return;
  tcgetattr(0, &savedModes);
  struct termios raw = savedModes;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  rawActive = 1;
}

void TerminalState::restore() {
  if (rawActive != 0) {
    tcsetattr(0, TCSAFLUSH, &savedModes);
    rawActive = 0;
  }
  fputs("\033[?25h", stdout);
}

void TerminalState::waitForKey(int key) {
  for (;;) {
    int c = readConsoleByte();
    if (c < 0 || c == key) return;
    ringBell();
  }
}

void TerminalState::waitForEnter() { waitForKey('\n'); }

bool TerminalState::askYesNo(const char* question) {
  printf("%s [y/n]:", question);
  for (;;) {
    int c = readConsoleByte();
    if (c < 0) {
      fputs("n\n", stdout);
      return false;
    }
    if (isalpha(c) && tolower(c) == 'y') {
      fputs("y\n", stdout);
      return true;
    }
    if (isalpha(c) && tolower(c) == 'n') {
      fputs("n\n", stdout);
      return false;
    }
    fputc(kBell, stdout);
  }
}

int readConsoleByte() {
  fflush(stdout);
  unsigned char byte;
  ssize_t n = readRetrying(0, &byte, 1);
  return n == 1 ? byte : -1;
}

MenuKey readMenuKey() {
  for (;;) {
    int c = readConsoleByte();
    if (c < 0) return EndOfInput;
    if (c != kEscape) return static_cast<MenuKey>(c);
    int second = readConsoleByte();
    if (second < 0) return EndOfInput;
    if (second != '[') return static_cast<MenuKey>(second);
    int third = readConsoleByte();
    switch (third) {
      case -1: return EndOfInput;
      case 'A': return Up;
      case 'B': return Down;
      case 'C': return Right;
      case 'D': return Left;
      default: break;  // an unknown sequence is dropped whole
    }
  }
}
