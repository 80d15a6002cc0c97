#pragma once
// Writes the live table to the terminal from a thread of its own. A
// terminal stops taking output when the operator pauses it (Ctrl-S) or a
// slow connection backs up; the installation loop only hands over the newest
// screen and never waits for the terminal. A screen not yet written when a
// newer one comes is dropped: each one repaints the whole table.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class TerminalWriter {
 public:
  // Writes to descriptor `fd`.
  explicit TerminalWriter(int fd);
  TerminalWriter(const TerminalWriter&) = delete;
  TerminalWriter& operator=(const TerminalWriter&) = delete;
  ~TerminalWriter();  // finish()

  // The next screen to write; replaces one still waiting.
  void show(std::string screen);
  // Writes what still waits, then `last` (the closing text), and ends the
  // thread. Waits for the terminal: the program ends after this.
  void finish(const std::string& last);

 private:
  void run();

  int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string pending_;
  bool finishing_ = false;
  std::thread thread_;
};
