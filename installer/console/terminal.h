#pragma once
// The operator's console below the level of a screen: raw one-key-at-a-time
// input on descriptor 0, yes/no questions and the keys of the menu. Output goes
// to standard output; nothing here queries the terminal's size or type.

#include <termios.h>

// What readMenuKey returns: an ordinary byte value (0-255) or one of the
// special values, which lie above every byte.
enum MenuKey : int { Up = 256, Down, Right, Left, EndOfInput };

// One console's saved modes and raw flag.
class TerminalState {
 public:
  TerminalState() = default;
  ~TerminalState();  // restore()
  TerminalState(const TerminalState&) = delete;
  TerminalState& operator=(const TerminalState&) = delete;

  // Clears ICANON and ECHO on descriptor 0 (signals, input translation and
  // output processing stay as they were), one byte per read, pending input
  // discarded. Does nothing while already raw. Results of the terminal calls
  // are not checked: on a non-terminal, raw mode silently does not apply.
  void enterRawMode();

  // Brings back the modes saved by enterRawMode (if raw), then always writes
  // the cursor-visible sequence. Does not flush.
  void restore();

  // Reads until `key` arrives or input ends; answers every other byte with BEL.
  void waitForKey(int key);
  void waitForEnter();

  // Writes "<question> [y/n]:" and reads until y or n (either case), echoing
  // the answer in lower case. Every other byte is answered with BEL. At the
  // end of input the answer is no: the installer never erases a disk on a
  // console that went away.
  bool askYesNo(const char* question);

 private:
  struct termios savedModes {};
  int rawActive = 0;
};

// The byte value of the next console key, or -1 at the end of input. Flushes
// standard output first, so that whatever was drawn is seen before the wait.
int readConsoleByte();

// One key for the menu: arrow-key sequences (ESC '[' A..D) become Up, Down,
// Right, Left; ESC '[' followed by any other byte is dropped whole; ESC
// followed by a byte other than '[' yields that byte. No time-out separates a
// lone ESC from a sequence.
MenuKey readMenuKey();
