#pragma once
// Writes the operator's output from a thread of its own. A terminal stops
// taking output when the operator pauses it (Ctrl-S) or a slow connection
// backs up; a pipe stops when its reader does (a pager left on a page, a log
// shipper that hangs). The installation loop only hands text over and never
// waits for the output.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

class OutputWriter {
 public:
  // Log text waiting beyond this is refused: a stuck reader costs memory
  // only up to here.
  static constexpr size_t kMostWaiting = 1 << 20;

  // Writes to descriptor `fd`.
  explicit OutputWriter(int fd, size_t mostWaiting = kMostWaiting);
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;
  ~OutputWriter();  // finish()

  // The next screen of the live table; replaces one still waiting (each
  // one repaints the whole table).
  void show(std::string screen);
  // Log text, written after what waits. False, and nothing kept, when it
  // would make more than `mostWaiting` bytes wait.
  [[nodiscard]] bool append(const std::string& text);
  // Writes what still waits, then `last` (the closing text), and ends the
  // thread. Waits for the output: the program ends after this.
  void finish(const std::string& last);

 private:
  void run();

  int fd_;
  size_t mostWaiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string pending_;
  bool finishing_ = false;
  std::thread thread_;
};
