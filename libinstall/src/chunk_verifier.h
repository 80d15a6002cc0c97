#pragma once
// Hands out the raw bytes of a signed package's proper part only after the
// chunk they belong to has matched its digest: nothing of a damaged or
// altered chunk reaches the decompressor, and so nothing of it is written.
//
// Each chunk is read whole and hashed before its first byte is handed out,
// in the reader's own thread: with the SHA instructions the hashing is about
// one percent of the work of installing, and a router's processor often has
// a single core, where a thread reading ahead would gain nothing. A read
// that asks for a whole chunk or more gets it in place, without a copy.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_stream.h"
#include "package_signature.h"

namespace libinstall {

class ChunkVerifier : public ByteSource {
 public:
  // Checks the first `length` bytes of `source` against `chunks` (one digest
  // per `chunkSize` bytes, the last chunk may be short); after them only zero
  // bytes (padding) may follow. `source` must outlive the verifier.
  ChunkVerifier(ByteSource& source, uint32_t chunkSize, uint64_t length,
                std::vector<Digest> chunks);

  // Bytes of checked chunks; 0 after the last chunk and its padding; -1 when
  // the data ends early, a chunk does not match, or other bytes follow (what
  // `buffer` then holds is not to be used).
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return error_; }

 private:
  // Reads the next chunk into `into` and checks it; its size in *size.
  bool readChunk(char* into, size_t* size);
  bool checkPadding();
  long fail(const std::string& problem);

  ByteSource& source_;
  const uint32_t chunkSize_;
  const uint64_t length_;
  const std::vector<Digest> chunks_;
  uint64_t next_ = 0;  // the chunk to read next

  // A checked chunk that a smaller read takes in pieces.
  std::unique_ptr<char[]> held_;
  size_t heldSize_ = 0;
  size_t heldUsed_ = 0;

  bool ended_ = false;  // the padding was checked: the end
  bool failed_ = false;
  std::string error_;
};

}  // namespace libinstall
