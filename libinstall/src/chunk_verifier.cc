#include "chunk_verifier.h"

#include <algorithm>
#include <cstring>

namespace libinstall {

ChunkVerifier::ChunkVerifier(ByteSource& source, uint32_t chunkSize, uint64_t length,
                             std::vector<Digest> chunks)
    : source_(source), chunkSize_(chunkSize), length_(length), chunks_(std::move(chunks)) {
  for (Slot& slot : slots_) slot.data.reset(new char[chunkSize_]);
  worker_ = std::thread(&ChunkVerifier::work, this);
}

ChunkVerifier::~ChunkVerifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void ChunkVerifier::stopWith(const std::string& problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  problem_ = problem;
  ended_ = true;
  changed_.notify_all();
}

bool ChunkVerifier::checkChunk(uint64_t index, Slot& slot, std::string* problem) {
  uint64_t start = index * chunkSize_;
  slot.size = static_cast<size_t>(std::min<uint64_t>(chunkSize_, length_ - start));
  std::string readError;
  if (!readExactly(source_, slot.data.get(), slot.size, &readError)) {
    *problem = readError == kUnexpectedEnd ? "package ends inside its signed data (truncated)"
                                           : readError;
    return false;
  }
  if (sha256(slot.data.get(), slot.size) != chunks_[index]) {
    *problem = "data does not match the signature in chunk " + std::to_string(index + 1) +
               " of " + std::to_string(chunks_.size()) + " (bytes " + std::to_string(start) +
               " to " + std::to_string(start + slot.size - 1) +
               " after the signature): damaged or altered package";
    return false;
  }
  return true;
}

bool ChunkVerifier::checkPadding(std::string* problem) {
  char scratch[4096];
  for (;;) {
    long n = source_.read(scratch, sizeof scratch);
    if (n < 0) {
      *problem = source_.error();
      return false;
    }
    if (n == 0) return true;
    for (long i = 0; i < n; ++i) {
      if (scratch[i] != 0) {
        *problem = "unexpected data after the signed data";
        return false;
      }
    }
  }
}

void ChunkVerifier::work() {
  std::string problem;
  for (uint64_t index = 0; index < chunks_.size(); ++index) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || checked_ - consumed_ < kSlots; });
      if (stopping_) return;
    }
    // The reader touches only slots before checked_: this one is the worker's.
    if (!checkChunk(index, slots_[index % kSlots], &problem)) return stopWith(problem);
    std::lock_guard<std::mutex> lock(mutex_);
    ++checked_;
    changed_.notify_all();
  }
  stopWith(checkPadding(&problem) ? std::string() : problem);
}

long ChunkVerifier::read(char* buffer, size_t size) {
  if (size == 0) return 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return consumed_ < checked_ || ended_; });
    if (consumed_ == checked_) {
      // Every checked chunk is used up: the end, or the worker's problem.
      if (problem_.empty()) return 0;
      error_ = problem_;
      return -1;
    }
  }
  const Slot& slot = slots_[consumed_ % kSlots];
  size_t n = std::min(size, slot.size - usedInSlot_);
  memcpy(buffer, slot.data.get() + usedInSlot_, n);
  usedInSlot_ += n;
  if (usedInSlot_ == slot.size) {
    usedInSlot_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    ++consumed_;
    changed_.notify_all();
  }
  return static_cast<long>(n);
}

}  // namespace libinstall
