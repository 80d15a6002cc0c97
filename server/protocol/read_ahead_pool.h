#pragma once
// Buffers that let a file being sent be read several blocks at a time: with
// one read per block, the read is a third of the system calls a block costs
// the server, and it is made while the protocol's state is held, so that the
// other threads answering wait for it. A file read through a buffer costs
// one read per kBufferSize bytes.
//
// The buffers are lent, one to a file being sent, up to a fixed number, so
// that a crowd's memory stays bounded: beyond that, files are read block by
// block as before. A buffer is allocated when first lent and kept for the
// next file. Safe to use from several threads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class ReadAheadPool {
 public:
  static constexpr size_t kBufferSize = 16 * 1024;
  // Files read ahead at once by default: 2 MiB of buffers.
  static constexpr size_t kMostBuffers = 128;

  explicit ReadAheadPool(size_t mostBuffers = kMostBuffers) : mostBuffers_(mostBuffers) {}
  ReadAheadPool(const ReadAheadPool&) = delete;
  ReadAheadPool& operator=(const ReadAheadPool&) = delete;

  // A buffer of kBufferSize bytes, or null when all are lent.
  std::unique_ptr<uint8_t[]> borrow();
  // Takes a buffer back (null is ignored).
  void giveBack(std::unique_ptr<uint8_t[]> buffer);

  size_t lent() const;

 private:
  const size_t mostBuffers_;
  mutable std::mutex mutex_;
  size_t lent_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> free_;
};
