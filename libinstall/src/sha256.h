#pragma once
// SHA-256 of a whole buffer, as every chunk of a signed package is checked.
// Where the processor has the x86 SHA extensions (most made since about
// 2017), they do the work several times faster than libsodium's portable
// code, which does it everywhere else.

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace libinstall {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const char* data, size_t size);

// Whether sha256() runs on the SHA extensions here.
bool sha256Accelerated();

// The SHA-256 of bytes that arrive in pieces of any size (a file as it
// streams past), with the same engine as sha256().
class Sha256Stream {
 public:
  Sha256Stream();
  void update(const char* data, size_t size);
  // The digest of everything given. REQUIRES: called once, after the last
  // update().
  Digest finish();

 private:
  bool accelerated_ = false;
  uint32_t state_[8] = {};
  unsigned char pending_[64] = {};
  size_t pendingSize_ = 0;
  uint64_t total_ = 0;
  crypto_hash_sha256_state portable_;
};

}  // namespace libinstall
