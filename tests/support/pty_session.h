#pragma once
// A pseudo-terminal whose slave side is the console (descriptors 0, 1 and 2,
// and the controlling terminal) of a child process that a test drives: send
// keys, read exactly the bytes the child wrote, wait for it to end.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class PtySession {
 public:
  struct Options {
    // Off: the terminal passes output through unchanged (no "\n" to "\r\n"),
    // so tests compare the exact bytes the child wrote.
    bool outputProcessing = false;
  };

  // Runs `body` in a forked child; its result becomes the exit code.
  static std::unique_ptr<PtySession> startFunction(const std::function<int()>& body,
                                                   Options options);
  static std::unique_ptr<PtySession> startFunction(const std::function<int()>& body) {
    return startFunction(body, Options{});
  }
  // Runs a program (argv[0] is the path executed) in a child.
  static std::unique_ptr<PtySession> startProgram(const std::vector<std::string>& argv,
                                                  Options options);

  ~PtySession();  // kills what still runs of the child's process group

  void send(std::string_view bytes);

  // Reads until `text` has appeared in the output since `from` (default: the
  // start). True when it did within `seconds`.
  bool waitFor(std::string_view text, double seconds, size_t from = 0);
  // Reads until the terminal has left canonical mode (the child went raw).
  bool waitForRawMode(double seconds);
  // Reads whatever arrives within `seconds`.
  void drain(double seconds);

  // Everything the child wrote so far.
  const std::string& output() const { return output_; }

  // Waits for the child to end, reading its output meanwhile. Returns the raw
  // wait status, or -1 when it did not end within `seconds`.
  int wait(double seconds);
  // wait(), then the child's exit code; -1 when it did not end within
  // `seconds` or was killed by a signal.
  int exitCode(double seconds);
  pid_t pid() const { return pid_; }
  int masterFd() const { return master_; }

 private:
  PtySession(int master, pid_t pid) : master_(master), pid_(pid) {}
  static std::unique_ptr<PtySession> start(const std::function<void()>& inChild,
                                           Options options);
  // One read from the master, waiting at most `seconds`: 1 when bytes came,
  // 0 on time-out, -1 once every slave descriptor is closed.
  int readSome(double seconds);

  int master_;
  pid_t pid_;
  bool ended_ = false;
  int status_ = -1;
  bool eof_ = false;
  std::string output_;
};
