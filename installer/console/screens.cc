#include "console/screens.h"

#include <cstdio>

#include "console/terminal.h"
#include "startup/process_state.h"

void showWelcome(const char* mode) {
  terminal->enterRawMode();
  fputs("\033[?25l", stdout);
  // Home first, then erase: the welcome screen's own order.
  fputs("\033[H\033[2J", stdout);
  printf("Welcome to Korvanel Router Software %s\n", mode);
  fputs("Press Ctrl-Alt-Delete to abort\n", stdout);
  fflush(stdout);
}

bool askKeepConfiguration() {
  bool keep = terminal->askYesNo("Do you want to keep old configuration? ");
  fputs("\n", stdout);
  fflush(stdout);
  return keep;
}

bool confirmErase() {
  fputs("Warning: all data on the disk will be erased!\n\n", stdout);
  if (!terminal->askYesNo("Continue?")) {
    fflush(stdout);
    return false;
  }
  fputs("\n", stdout);
  fflush(stdout);
  return true;
}
