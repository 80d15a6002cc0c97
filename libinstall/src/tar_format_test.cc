#include "tar_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace libinstall {
namespace {

HeaderFields sampleFields() {
  HeaderFields f;
  f.name = "usr/bin/ping";
  f.linkName = "";
  f.mode = 04755;
  f.uid = 0;
  f.gid = 3;
  f.size = 12345;
  f.mtime = 1700000000;
  f.typeFlag = tarType::kRegular;
  return f;
}

// Recomputes the checksum of a header block a test has edited by hand.
void resealChecksum(char* block) {
  memset(block + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < kBlockSize; ++i) sum += static_cast<unsigned char>(block[i]);
  snprintf(block + 148, 8, "%06o", sum);
}

TEST(TarHeader, EncodedFieldsDecodeUnchangedAndDamageIsDetected) {
  char block[kBlockSize];
  encodeHeader(sampleFields(), block);
  HeaderFields back;
  std::string error;
  ASSERT_TRUE(decodeHeader(block, &back, &error)) << error;
  EXPECT_EQ(back.name, "usr/bin/ping");
  EXPECT_EQ(back.mode, 04755u);
  EXPECT_EQ(back.gid, 3u);
  EXPECT_EQ(back.size, 12345u);
  EXPECT_EQ(back.mtime, 1700000000);
  EXPECT_EQ(back.typeFlag, tarType::kRegular);

  for (size_t offset : {0u, 100u, 124u, 156u, 300u}) {
    char damaged[kBlockSize];
    memcpy(damaged, block, kBlockSize);
    damaged[offset] ^= 0x01;
    EXPECT_FALSE(decodeHeader(damaged, &back, &error)) << "flip at " << offset;
  }
}

TEST(TarHeader, ReadsOtherWritersConventions) {
  char block[kBlockSize];
  HeaderFields f = sampleFields();
  encodeHeader(f, block);
  // GNU magic and version; no prefix field there.
  memcpy(block + 257, "ustar  ", 8);
  // Size as base-256 and blanks around octal digits, as older writers do.
  memset(block + 124, 0, 12);
  block[124] = static_cast<char>(0x80);
  block[135] = 0x10;
  memcpy(block + 100, "  755 \0", 8);
  resealChecksum(block);
  HeaderFields back;
  std::string error;
  ASSERT_TRUE(decodeHeader(block, &back, &error)) << error;
  EXPECT_EQ(back.size, 0x10u);
  EXPECT_EQ(back.mode, 0755u);
}

TEST(TarHeader, PosixPrefixJoinsTheName) {
  char block[kBlockSize];
  encodeHeader(sampleFields(), block);
  memcpy(block + 345, "very/long/prefix", 16);
  resealChecksum(block);
  HeaderFields back;
  std::string error;
  ASSERT_TRUE(decodeHeader(block, &back, &error)) << error;
  EXPECT_EQ(back.name, "very/long/prefix/usr/bin/ping");
}

TEST(PaxRecords, LengthCountsItselfAcrossDigitBoundaries) {
  for (size_t valueSize = 0; valueSize < 1100; ++valueSize) {
    std::string record = paxRecord("path", std::string(valueSize, 'a'));
    size_t space = record.find(' ');
    EXPECT_EQ(std::stoul(record.substr(0, space)), record.size()) << valueSize;
  }
}

TEST(PaxRecords, OnlyFieldsThatDoNotFitGetRecords) {
  Member plain;
  plain.path = "etc/fstab";
  plain.mtimeSeconds = 5;
  EXPECT_EQ(paxRecordsFor(plain, plain.path), "");

  Member big = plain;
  big.path = std::string(150, 'p');
  big.uid = 5000000;
  big.mtimeNanoseconds = 1500;
  std::string records = paxRecordsFor(big, big.path);
  Member back;
  std::string error;
  ASSERT_TRUE(applyPaxRecords(records, &back, &error)) << error;
  EXPECT_EQ(back.path, big.path);
  EXPECT_EQ(back.uid, 5000000u);
  EXPECT_EQ(back.mtimeSeconds, 5);
  EXPECT_EQ(back.mtimeNanoseconds, 1500u);
}

TEST(PaxRecords, MalformedRecordsAreRefused) {
  Member m;
  std::string error;
  EXPECT_FALSE(applyPaxRecords("8 path=a\n", &m, &error)) << "length too short";
  EXPECT_TRUE(applyPaxRecords("9 path=a\n", &m, &error)) << "exact length";
  EXPECT_FALSE(applyPaxRecords("99 path=a\n", &m, &error)) << "length past the end";
  EXPECT_FALSE(applyPaxRecords("10 path=ab", &m, &error)) << "no newline";
  EXPECT_FALSE(applyPaxRecords("9 pathab\n", &m, &error)) << "no '='";
  EXPECT_FALSE(applyPaxRecords("11 size=1x\n", &m, &error)) << "bad number";
  EXPECT_FALSE(applyPaxRecords("x path=a\n", &m, &error)) << "bad length";
  EXPECT_TRUE(applyPaxRecords("16 SCHILY.foo=1\n", &m, &error)) << "unknown keys are ignored";
}

TEST(PaxRecords, TimesWithFractionsAndSigns) {
  int64_t s;
  uint32_t ns;
  ASSERT_TRUE(parsePaxTime("12", &s, &ns));
  EXPECT_EQ(s, 12);
  EXPECT_EQ(ns, 0u);
  ASSERT_TRUE(parsePaxTime("12.5", &s, &ns));
  EXPECT_EQ(ns, 500000000u);
  ASSERT_TRUE(parsePaxTime("1.1234567899", &s, &ns));
  EXPECT_EQ(ns, 123456789u) << "digits past nanoseconds are cut";
  ASSERT_TRUE(parsePaxTime("-1.25", &s, &ns));
  EXPECT_EQ(s, -2);
  EXPECT_EQ(ns, 750000000u);
  EXPECT_FALSE(parsePaxTime("", &s, &ns));
  EXPECT_FALSE(parsePaxTime("1.", &s, &ns));
  EXPECT_FALSE(parsePaxTime("1.2x", &s, &ns));
  EXPECT_FALSE(parsePaxTime("99999999999999999999", &s, &ns));
}

}  // namespace
}  // namespace libinstall
