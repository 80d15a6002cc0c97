#include "sha256.h"

#include <sodium.h>

#include <cstdint>
#include <algorithm>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define KORVANEL_SHA_EXTENSIONS 1
#endif

namespace libinstall {

#ifdef KORVANEL_SHA_EXTENSIONS
namespace {

alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Runs the compression function over `blocks` blocks of 64 bytes. The
// instructions keep the eight state words as two registers, ABEF and CDGH,
// and take four message words at a time, each group of four rounds as two
// double rounds.
__attribute__((target("sha,sse4.1"))) void compressBlocks(uint32_t state[8],
                                                          const unsigned char* data,
                                                          size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i hgfe =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i words[4];  // message words of the last four groups, by group % 4
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& current = words[group % 4];
      if (group < 4) {
        current = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      }
      __m128i message = _mm_add_epi32(
          current, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      if (group >= 3 && group <= 14) {
        // The next group's words, from the ones msg1 began three groups ago.
        __m128i& next = words[(group + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, words[(group + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
      if (group >= 1 && group <= 12) {
        __m128i& previous = words[(group + 3) % 4];
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Pads the last `rest` (< 64) bytes of a message of `size` bytes (the 0x80
// marker, zeros, the length in bits, big-endian) and runs the last blocks.
void finishBlocks(uint32_t state[8], const unsigned char* last, size_t rest, uint64_t size) {
  unsigned char tail[128] = {};
  memcpy(tail, last, rest);
  tail[rest] = 0x80;
  size_t tailSize = rest + 1 + 8 <= 64 ? 64 : 128;
  uint64_t bits = size * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  compressBlocks(state, tail, tailSize / 64);
}

Digest digestOf(const uint32_t state[8]) {
  Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state[i] >> (24 - 8 * j));
  }
  return digest;
}

Digest sha256WithExtensions(const unsigned char* data, size_t size) {
  uint32_t state[8];
  memcpy(state, kInitialState, sizeof state);
  compressBlocks(state, data, size / 64);
  size_t rest = size % 64;
  finishBlocks(state, data + size - rest, rest, size);
  return digestOf(state);
}

}  // namespace

bool sha256Accelerated() {
  // Asked of the processor itself: not every compiler's
  // __builtin_cpu_supports knows "sha".
  static const bool supported = [] {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSE4_1)) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA) != 0;
  }();
  return supported;
}

#else

bool sha256Accelerated() { return false; }

#endif

Digest sha256(const char* data, size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
#ifdef KORVANEL_SHA_EXTENSIONS
  if (sha256Accelerated()) return sha256WithExtensions(bytes, size);
#endif
  Digest digest;
  crypto_hash_sha256(digest.data(), bytes, size);
  return digest;
}

Sha256Stream::Sha256Stream() {
#ifdef KORVANEL_SHA_EXTENSIONS
  accelerated_ = sha256Accelerated();
  memcpy(state_, kInitialState, sizeof state_);
#endif
  if (!accelerated_) crypto_hash_sha256_init(&portable_);
}

void Sha256Stream::update(const char* data, size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  total_ += size;
#ifdef KORVANEL_SHA_EXTENSIONS
  if (accelerated_) {
    if (pendingSize_ > 0) {
      size_t take = std::min(size, sizeof pending_ - pendingSize_);
      memcpy(pending_ + pendingSize_, bytes, take);
      pendingSize_ += take;
      bytes += take;
      size -= take;
      if (pendingSize_ < sizeof pending_) return;
      compressBlocks(state_, pending_, 1);
      pendingSize_ = 0;
    }
    compressBlocks(state_, bytes, size / 64);
    pendingSize_ = size % 64;
    memcpy(pending_, bytes + size - pendingSize_, pendingSize_);
    return;
  }
#endif
  crypto_hash_sha256_update(&portable_, bytes, size);
}

Digest Sha256Stream::finish() {
  Digest digest;
#ifdef KORVANEL_SHA_EXTENSIONS
  if (accelerated_) {
    finishBlocks(state_, pending_, pendingSize_, total_);
    return digestOf(state_);
  }
#endif
  crypto_hash_sha256_final(&portable_, digest.data());
  return digest;
}

}  // namespace libinstall
