#include "chunk_verifier.h"

#include <algorithm>
#include <cstring>

namespace libinstall {

ChunkVerifier::ChunkVerifier(ByteSource& source, uint32_t chunkSize, uint64_t length,
                             std::vector<Digest> chunks)
    : source_(source), chunkSize_(chunkSize), length_(length), chunks_(std::move(chunks)) {}

long ChunkVerifier::fail(const std::string& problem) {
  failed_ = true;
  error_ = problem;
  return -1;
}

bool ChunkVerifier::readChunk(char* into, size_t* size) {
  uint64_t start = next_ * chunkSize_;
  *size = static_cast<size_t>(std::min<uint64_t>(chunkSize_, length_ - start));
  std::string readError;
  if (!readExactly(source_, into, *size, &readError)) {
    fail(readError == kUnexpectedEnd ? "package ends inside its signed data (truncated)"
                                     : readError);
    return false;
  }
  if (sha256(into, *size) != chunks_[next_]) {
    fail("data does not match the signature in chunk " + std::to_string(next_ + 1) + " of " +
         std::to_string(chunks_.size()) + " (bytes " + std::to_string(start) + " to " +
         std::to_string(start + *size - 1) + " after the signature): damaged or altered package");
    return false;
  }
  ++next_;
  return true;
}

bool ChunkVerifier::checkPadding() {
  char scratch[4096];
  for (;;) {
    long n = source_.read(scratch, sizeof scratch);
    if (n < 0) {
      fail(source_.error());
      return false;
    }
    if (n == 0) return true;
    for (long i = 0; i < n; ++i) {
      if (scratch[i] != 0) {
        fail("unexpected data after the signed data");
        return false;
      }
    }
  }
}

long ChunkVerifier::read(char* buffer, size_t size) {
  if (failed_) return -1;
  if (size == 0) return 0;
  if (heldUsed_ == heldSize_) {
    if (next_ == chunks_.size()) {
      if (!ended_ && !checkPadding()) return -1;
      ended_ = true;
      return 0;
    }
    uint64_t left = length_ - next_ * chunkSize_;
    if (size >= left || size >= chunkSize_) {
      // The whole chunk fits the caller's buffer: checked there, no copy.
      size_t got;
      return readChunk(buffer, &got) ? static_cast<long>(got) : -1;
    }
    if (!held_) held_.reset(new char[chunkSize_]);
    heldUsed_ = heldSize_ = 0;
    if (!readChunk(held_.get(), &heldSize_)) return -1;
  }
  size_t n = std::min(size, heldSize_ - heldUsed_);
  memcpy(buffer, held_.get() + heldUsed_, n);
  heldUsed_ += n;
  return static_cast<long>(n);
}

}  // namespace libinstall
