#include "sha256.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <random>
#include <string>

namespace libinstall {
namespace {

// Every length around the block and padding boundaries, and a large buffer,
// against libsodium's portable code (the same code where the processor has
// no SHA extensions).
TEST(Sha256, AgreesWithLibsodiumAtEveryTailLength) {
  std::mt19937 random(7);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  auto reference = [&](size_t from, size_t size) {
    Digest digest;
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(data.data()) + from,
                       size);
    return digest;
  };
  for (size_t size = 0; size <= 200; ++size) {
    EXPECT_EQ(sha256(data.data(), size), reference(0, size)) << size;
  }
  EXPECT_EQ(sha256(data.data() + 1, data.size() - 1), reference(1, data.size() - 1)) << "unaligned";
  RecordProperty("accelerated", sha256Accelerated() ? "yes" : "no");
}

// A file streaming past in pieces of every size gives the digest of the
// whole, whichever way the pieces cut the blocks.
TEST(Sha256, StreamInPiecesAgreesWithWholeBuffer) {
  std::mt19937 random(11);
  std::string data(70000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  for (size_t piece : {1, 3, 63, 64, 65, 4096, 4076, 70000}) {
    for (size_t size : {0, 55, 64, 119, 4095, 70000}) {
      Sha256Stream stream;
      for (size_t at = 0; at < size; at += piece) stream.update(data.data() + at, std::min(piece, size - at));
      EXPECT_EQ(stream.finish(), sha256(data.data(), size)) << piece << " " << size;
    }
  }
}

}  // namespace
}  // namespace libinstall
