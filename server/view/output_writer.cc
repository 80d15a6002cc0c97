#include "server/view/output_writer.h"

#include "common/retry_io.h"

OutputWriter::OutputWriter(int fd, size_t mostWaiting)
    : fd_(fd), mostWaiting_(mostWaiting), thread_([this] { run(); }) {}

OutputWriter::~OutputWriter() { finish(""); }

void OutputWriter::show(std::string screen) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_ = std::move(screen);
  }
  wake_.notify_one();
}

bool OutputWriter::append(const std::string& text) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (pending_.size() + text.size() > mostWaiting_) return false;
    pending_ += text;
  }
  wake_.notify_one();
  return true;
}

void OutputWriter::finish(const std::string& last) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  thread_.join();
  // An output gone away takes nothing more: the server ends all the same.
  (void)writeAll(fd_, last.data(), last.size());
}

void OutputWriter::run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    wake_.wait(hold, [this] { return finishing_ || !pending_.empty(); });
    std::string text;
    text.swap(pending_);
    bool last = finishing_;
    hold.unlock();
    (void)writeAll(fd_, text.data(), text.size());  // see finish()
    hold.lock();
    if (last && pending_.empty()) return;
  }
}
