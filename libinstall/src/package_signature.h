#pragma once
// The signature member that opens a signed package. It names the signer's
// public key and carries the SHA-256 of every fixed-size chunk of the raw
// bytes that follow it in the file (the package proper, as bdl pack wrote
// it: gzip data whose first member is the metadata), and ends with an
// Ed25519 signature over all of that. The prehashed variant (Ed25519ph) is
// used, so the signature can be checked as the lines arrive, without holding
// the text:
//
//   format: bdl-signature 1
//   key: <64 hex digits>
//   chunk-size: 65536
//   length: 85245912
//   chunk: <64 hex digits>        one line per chunk, in order
//   signature: <128 hex digits>   over every byte before this line
//
// docs/package-format.md describes the whole file.

#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "libinstall/package_key.h"
#include "sha256.h"

namespace libinstall {

constexpr const char* kSignatureMember = ".bdlsig";
constexpr const char* kSignatureFormatLine = "format: bdl-signature 1";
// What bdl sign chooses unless a package needs larger chunks.
constexpr uint32_t kDefaultChunkSize = 64 * 1024;

struct SignatureHead {
  PackageKey signer;
  uint32_t chunkSize = 0;
  uint64_t length = 0;  // raw bytes after the signature member that the chunks cover
};

// Chunks of `chunkSize` that `length` bytes take (the last may be short).
uint64_t chunkCount(uint64_t length, uint32_t chunkSize);

// The smallest chunk size from kDefaultChunkSize up that keeps a package of
// `length` bytes within the chunk limit; 0 when none does.
uint32_t chooseChunkSize(uint64_t length);

// Reads a signature member's text as it comes out of the archive, holding
// only one line and the digests.
class SignatureReader {
 public:
  SignatureReader();

  // False with *error as soon as the text breaks the format.
  bool feed(const char* data, size_t size, std::string* error);
  // After the member's last byte: true when the text was complete and its
  // signature was made with the key it names, head().signer.
  bool finish(std::string* error);

  const SignatureHead& head() const { return head_; }
  const std::vector<Digest>& chunks() const { return chunks_; }
  std::vector<Digest> takeChunks() { return std::move(chunks_); }

 private:
  enum class Expect { Format, Key, ChunkSize, Length, Chunk, Signature, End };
  bool takeLine(const std::string& line, std::string* error);

  Expect expect_ = Expect::Format;
  std::string line_;
  uint64_t lines_ = 0;
  SignatureHead head_;
  uint64_t expectedChunks_ = 0;
  std::vector<Digest> chunks_;
  std::array<unsigned char, crypto_sign_BYTES> signature_{};
  crypto_sign_ed25519ph_state state_;
};

}  // namespace libinstall
