#include "server/protocol/read_ahead_pool.h"

std::unique_ptr<uint8_t[]> ReadAheadPool::borrow() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (lent_ >= mostBuffers_) return nullptr;
  ++lent_;
  // Not zeroed: a read fills what is used.
  if (free_.empty()) return std::unique_ptr<uint8_t[]>(new uint8_t[kBufferSize]);
  std::unique_ptr<uint8_t[]> buffer = std::move(free_.back());
  free_.pop_back();
  return buffer;
}

void ReadAheadPool::giveBack(std::unique_ptr<uint8_t[]> buffer) {
  if (buffer == nullptr) return;
  std::lock_guard<std::mutex> hold(mutex_);
  --lent_;
  free_.push_back(std::move(buffer));
}

size_t ReadAheadPool::lent() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lent_;
}
