#include "common/bounded_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CopyCut, CutsToCapacityAndTerminates) {
  char buffer[8];
  memset(buffer, 'z', sizeof buffer);
  EXPECT_TRUE(copyCut(buffer, sizeof buffer, "abc"));
  EXPECT_STREQ(buffer, "abc");
  EXPECT_TRUE(copyCut(buffer, sizeof buffer, "1234567"));
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_FALSE(copyCut(buffer, sizeof buffer, "12345678"));
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_FALSE(copyCut(buffer, 1, "x"));
  EXPECT_STREQ(buffer, "");
}

TEST(CopyField, ZeroFillsAndRefusesWhatDoesNotFit) {
  char field[8];
  memset(field, 'z', sizeof field);
  ASSERT_TRUE(copyField(field, sizeof field, "ab"));
  EXPECT_EQ(std::string(field, sizeof field), std::string("ab\0\0\0\0\0\0", 8));
  EXPECT_FALSE(copyField(field, sizeof field, "12345678"));
  EXPECT_STREQ(field, "ab") << "a refused copy leaves the field as it was";
  EXPECT_TRUE(copyField(field, sizeof field, "1234567"));
}

}  // namespace
