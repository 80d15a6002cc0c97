// The reading of /proc/net/dev, over streams of any shape. (Scanning real
// interfaces brings them up, so it is tested in network namespaces only: see
// endpoint_test.cc.)

#include "netinstall/interface_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> namesOf(const std::string& text) {
  // fmemopen refuses a zero size; an empty text is a stream at its end.
  std::string buffer = text.empty() ? std::string(1, '\0') : text;
  FILE* stream = fmemopen(buffer.data(), text.empty() ? 1 : text.size(), "r");
  if (stream != nullptr && text.empty()) fgetc(stream);
  std::vector<std::string> names = readInterfaceNames(stream);
  fclose(stream);
  return names;
}

const char kHeading[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

TEST(InterfaceNamesTest, NamesFollowTheTwoHeadingLines) {
  std::string text = std::string(kHeading) +
                     "    lo:  1296      16    0    0    0     0          0         0     1296\n"
                     "  eth0: 8424310   12133    0    0    0     0          0         0   812\n"
                     "veth-client0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
  EXPECT_EQ(namesOf(text), (std::vector<std::string>{"lo", "eth0", "veth-client0"}));
}

TEST(InterfaceNamesTest, OldFormatWithoutBlankAfterTheColon) {
  std::string text = std::string(kHeading) + "  eth0:8424310 12133 0 0\n  eth1:0 0 0\n";
  EXPECT_EQ(namesOf(text), (std::vector<std::string>{"eth0", "eth1"}));
}

// Files shorter than the two heading lines: no interface, and no failure.
TEST(InterfaceNamesTest, ShortFilesHaveNoNames) {
  EXPECT_TRUE(namesOf("").empty());
  EXPECT_TRUE(namesOf("Inter-|   Receive\n").empty());
  EXPECT_TRUE(namesOf("Inter-|").empty()) << "one line without its newline";
  EXPECT_TRUE(namesOf(kHeading).empty());
}

TEST(InterfaceNamesTest, BlankLinesAndOverlongLinesAreHandled) {
  std::string longLine = "  eth2: " + std::string(400, '1') + "\n";
  std::string text = std::string(kHeading) + "\n   \n" + longLine + "eth3:\n";
  EXPECT_EQ(namesOf(text), (std::vector<std::string>{"eth2", "eth3"}))
      << "a line longer than 256 bytes is one line, not two";
}

}  // namespace
