#include "server/terminal_writer.h"

#include "common/retry_io.h"

TerminalWriter::TerminalWriter(int fd) : fd_(fd), thread_([this] { run(); }) {}

TerminalWriter::~TerminalWriter() { finish(""); }

void TerminalWriter::show(std::string screen) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_ = std::move(screen);
  }
  wake_.notify_one();
}

void TerminalWriter::finish(const std::string& last) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  thread_.join();
  // A terminal gone away takes nothing more: the server ends all the same.
  (void)writeAll(fd_, last.data(), last.size());
}

void TerminalWriter::run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    wake_.wait(hold, [this] { return finishing_ || !pending_.empty(); });
    std::string screen;
    screen.swap(pending_);
    bool last = finishing_;
    hold.unlock();
    (void)writeAll(fd_, screen.data(), screen.size());  // see finish()
    hold.lock();
    if (last && pending_.empty()) return;
  }
}
