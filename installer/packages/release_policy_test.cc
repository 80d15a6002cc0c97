// The rules that decide whether a verified release list may be followed,
// and the small number files beside the key and in the installed system.
#include "packages/release_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(ReleasePolicy, NumberFloorsAndExpiry) {
  ReleaseList list;
  list.number = 2;
  list.created = 1000;
  list.expires = 2000;
  struct Case {
    uint64_t lowest;
    uint64_t recorded;
    int64_t now;
    ReleaseVerdict verdict;
  };
  const Case cases[] = {
      {2, 0, 1500, ReleaseVerdict::accepted},
      {0, 2, 2000, ReleaseVerdict::accepted},        // the last second still counts
      {3, 0, 1500, ReleaseVerdict::belowLowest},
      {1, 3, 1500, ReleaseVerdict::belowRecorded},
      {3, 3, 1500, ReleaseVerdict::belowLowest},     // the medium's floor is said first
      {2, 2, 2001, ReleaseVerdict::expired},
      {2, 0, 999, ReleaseVerdict::acceptedClockUnset},  // a clock before the list was made
      {2, 0, 0, ReleaseVerdict::acceptedClockUnset},
      {3, 0, 0, ReleaseVerdict::belowLowest},        // an unset clock excuses no number
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judgeRelease(list, c.lowest, c.recorded, c.now), c.verdict)
        << c.lowest << " " << c.recorded << " " << c.now;
  }
}

TEST(ReleasePolicy, NumberTexts) {
  struct Case {
    const char* text;
    bool valid;
    uint64_t number;
  };
  const Case cases[] = {
      {"release: 2\n", true, 2},
      {"release: 0\n", true, 0},
      {"release: 9999999999999999999\n", true, 9999999999999999999ull},
      {"release: 2", false, 0},
      {"release: 02\n", false, 0},
      {"release: -2\n", false, 0},
      {"release: \n", false, 0},
      {"release: 2 \n", false, 0},
      {"release: 99999999999999999999\n", false, 0},
      {"lowest-release: 2\n", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    uint64_t number = 0;
    EXPECT_EQ(parseReleaseNumberText(c.text, "release", &number), c.valid) << c.text;
    if (c.valid) EXPECT_EQ(number, c.number) << c.text;
  }
}

}  // namespace
