#include "netinstall/file_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct HeaderCase {
  const char* what;
  std::string payload;
  FileHeader result;
  const char* name;
  int mark;
};

TEST(FileHeaderTest, HeaderLinesGiveNameAndMark) {
  const HeaderCase cases[] = {
      {"script with mark 0", "FILE\nautorun.scr\n0\n", FileHeader::file, "autorun.scr", 0},
      {"script with mark 1", "FILE\nautorun.scr\n1\n", FileHeader::file, "autorun.scr", 1},
      {"mark without its newline", "FILE\nbase.bdl\n12", FileHeader::file, "base.bdl", 12},
      {"mark of letters is 0", "FILE\nbase.bdl\nabc\n", FileHeader::file, "base.bdl", 0},
      {"mark like atoi", "FILE\nx\n  +7z\n", FileHeader::file, "x", 7},
      {"no mark line at all", "FILE\nx\n", FileHeader::file, "x", 0},
      {"negative mark ends the sequence", "FILE\nx\n-1\n", FileHeader::endOfFiles, "x", -1},
      {"huge mark saturates", "FILE\nx\n99999999999\n", FileHeader::file, "x", 2147483647},
      {"other tag", "DONE\n", FileHeader::endOfFiles, "", 0},
      {"tag alone", "FILE", FileHeader::endOfFiles, nullptr, 0},
      {"name line not ended", "FILE\nbase.bdl", FileHeader::endOfFiles, nullptr, 0},
      {"empty payload", "", FileHeader::endOfFiles, "", 0},
  };
  for (const HeaderCase& c : cases) {
    char name[kFileNameSize] = "previous";
    int mark = 99;
    EXPECT_EQ(parseFileHeader(c.payload.data(), c.payload.size(), name, mark), c.result) << c.what;
    EXPECT_EQ(mark, c.mark) << c.what;
    if (c.name != nullptr) {
      EXPECT_STREQ(name, c.name) << c.what;
    }
  }
}

TEST(FileHeaderTest, LongNamesAreCutTo79Characters) {
  std::string payload = "FILE\n" + std::string(100, 'n') + "\n1\n";
  char name[kFileNameSize];
  int mark = 0;
  ASSERT_EQ(parseFileHeader(payload.data(), payload.size(), name, mark), FileHeader::file);
  EXPECT_EQ(std::string(name), std::string(79, 'n'));
  EXPECT_EQ(mark, 1);
}

TEST(FileHeaderTest, ComposedHeaderReadsBack) {
  char payload[128];
  size_t length = composeFileHeader(payload, sizeof payload, "net.scr", 1);
  EXPECT_EQ(std::string(payload, length), "FILE\nnet.scr\n1\n");
  char name[kFileNameSize];
  int mark = 0;
  EXPECT_EQ(parseFileHeader(payload, length, name, mark), FileHeader::file);
  EXPECT_STREQ(name, "net.scr");
  length = composeFileHeader(payload, sizeof payload, "", -1);
  EXPECT_EQ(parseFileHeader(payload, length, name, mark), FileHeader::endOfFiles);
  EXPECT_EQ(composeFileHeader(payload, 8, "too-long-for-eight", 0), 0u);
}

TEST(FileHeaderTest, OnlyPlainNamesMayBecomePaths) {
  EXPECT_TRUE(isPlainFileName("autorun.scr"));
  EXPECT_TRUE(isPlainFileName("..scr"));
  EXPECT_TRUE(isPlainFileName("...")) << "three dots is an ordinary name";
  EXPECT_FALSE(isPlainFileName("."));
  EXPECT_FALSE(isPlainFileName(".."));
  EXPECT_FALSE(isPlainFileName("../etc/passwd.scr"));
  EXPECT_FALSE(isPlainFileName("/etc/rc.scr"));
  EXPECT_FALSE(isPlainFileName("dir/"));
}

}  // namespace
