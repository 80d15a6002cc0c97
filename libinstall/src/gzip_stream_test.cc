#include "gzip_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "package_builder.h"

namespace libinstall {
namespace {

// Data that compresses somewhat, long enough to span several input blocks.
std::string sampleData() {
  std::mt19937 random(7);
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>('a' + random() % 8);
  return data;
}

// Decompresses all of `compressed`; true when the reader and finish() agree
// the stream was whole.
bool inflateAll(const std::string& compressed, std::string* out, std::string* error) {
  std::istringstream in(compressed);
  GzipReader reader(in);
  char buffer[10000];
  long n;
  while ((n = reader.read(buffer, sizeof buffer)) > 0) out->append(buffer, n);
  if (n < 0 || !reader.finish()) {
    *error = reader.error();
    return false;
  }
  return true;
}

TEST(Gzip, RoundTripAndPaddingAfterTheStream) {
  std::string data = sampleData();
  std::string compressed = package_testing::gzipBytes(data);
  for (const std::string& tail : {std::string(), std::string(4000, '\0')}) {
    std::string out, error;
    ASSERT_TRUE(inflateAll(compressed + tail, &out, &error)) << error;
    EXPECT_EQ(out, data);
  }
}

TEST(Gzip, DamageAnywhereIsAnError) {
  std::string compressed = package_testing::gzipBytes(sampleData());
  // One flipped byte in the header, the body or the trailer (CRC, length).
  for (size_t at : {size_t{3}, size_t{40}, compressed.size() / 2, compressed.size() - 6,
                    compressed.size() - 2}) {
    std::string damaged = compressed;
    damaged[at] ^= 0x20;
    std::string out, error;
    EXPECT_FALSE(inflateAll(damaged, &out, &error)) << "flip at " << at;
  }
}

TEST(Gzip, TruncationEmptinessAndTrailingDataAreErrors) {
  std::string compressed = package_testing::gzipBytes(sampleData());
  for (size_t cut : {size_t{0}, size_t{5}, compressed.size() / 3, compressed.size() - 1}) {
    std::string out, error;
    EXPECT_FALSE(inflateAll(compressed.substr(0, cut), &out, &error)) << "cut at " << cut;
    EXPECT_NE(error.find(cut == 0 ? "empty" : "truncated"), std::string::npos) << error;
  }
  std::string out, error;
  EXPECT_FALSE(inflateAll(compressed + "junk", &out, &error));
  EXPECT_NE(error.find("after the end"), std::string::npos) << error;
}

}  // namespace
}  // namespace libinstall
