#pragma once
// Hands out the raw bytes of a signed package's proper part only after the
// chunk they belong to has matched its digest: nothing of a damaged or
// altered chunk reaches the decompressor, and so nothing of it is written.
//
// A worker thread reads and hashes the chunks ahead of the reader (a few
// chunks at most), so that checking costs the installation little time on a
// machine with a second core.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "byte_stream.h"
#include "package_signature.h"

namespace libinstall {

class ChunkVerifier : public ByteSource {
 public:
  // Checks the first `length` bytes of `source` against `chunks` (one digest
  // per `chunkSize` bytes, the last chunk may be short); after them only zero
  // bytes (padding) may follow. `source` must outlive the verifier and is
  // read by its worker alone from now on.
  ChunkVerifier(ByteSource& source, uint32_t chunkSize, uint64_t length,
                std::vector<Digest> chunks);
  // Stops the worker (it finishes the read it is in) and waits for it.
  ~ChunkVerifier() override;
  ChunkVerifier(const ChunkVerifier&) = delete;
  ChunkVerifier& operator=(const ChunkVerifier&) = delete;

  // Bytes of checked chunks; 0 after the last chunk and its padding; -1 when
  // the data ends early, a chunk does not match, or other bytes follow.
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return error_; }

 private:
  static constexpr size_t kSlots = 4;  // chunks read ahead at most

  struct Slot {
    std::unique_ptr<char[]> data;
    size_t size = 0;
  };

  void work();
  bool checkChunk(uint64_t index, Slot& slot, std::string* problem);
  bool checkPadding(std::string* problem);
  void stopWith(const std::string& problem);

  ByteSource& source_;
  const uint32_t chunkSize_;
  const uint64_t length_;
  const std::vector<Digest> chunks_;
  Slot slots_[kSlots];

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t checked_ = 0;   // chunks the worker has handed over
  uint64_t consumed_ = 0;  // chunks the reader has used up
  bool ended_ = false;     // the worker is done (see problem_)
  bool stopping_ = false;  // the reader goes away
  std::string problem_;    // why the worker ended early

  size_t usedInSlot_ = 0;  // the reader's place in slot consumed_ % kSlots
  std::string error_;
  std::thread worker_;
};

}  // namespace libinstall
