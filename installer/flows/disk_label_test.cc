// The disk label from a label file, and the kind of a file from the server
// by its name. The floppy itself is mounted only on whole machines (QEMU).
#include "flows/disk_label.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "flows/network_installation.h"
#include "scratch_directory.h"

namespace {

std::string labelOf(const std::string& contents, size_t capacity = kDiskLabelSize) {
  ScratchDirectory scratch;
  std::string path = scratch / "label.txt";
  std::ofstream(path, std::ios::binary) << contents;
  char label[kDiskLabelSize + 8];
  labelFromFile(path.c_str(), label, capacity);
  return label;
}

TEST(DiskLabel, OnlyLettersDigitsAndPunctuationOfTheFirstLineRemain) {
  EXPECT_EQ(labelOf("office router!\nsecond line\n"), "officerouter!");
  EXPECT_EQ(labelOf("\tlab-7 (rack 3),\r\n"), "lab-7(rack3),");
  EXPECT_EQ(labelOf("caf\xc3\xa9\x1b[2J ok"), "caf[2Jok") << "bytes from 0x80 and controls go";
  // The line is cut before it is filtered: 31 characters are read.
  EXPECT_EQ(labelOf(std::string(40, 'x') + "\n"), std::string(31, 'x'));
  EXPECT_EQ(labelOf(std::string(30, ' ') + "abc\n"), "a");
}

TEST(DiskLabel, NothingLeftNoFileOrNoFloppyGiveTheDefault) {
  EXPECT_EQ(labelOf("   \t \n"), "korvanel");
  EXPECT_EQ(labelOf(""), "korvanel");
  EXPECT_EQ(labelOf("\nsecond line\n"), "korvanel");
  char label[kDiskLabelSize] = "stale";
  labelFromFile("/nonexistent/label.txt", label, sizeof label);
  EXPECT_STREQ(label, "korvanel");
  labelFromFile(nullptr, label, sizeof label);
  EXPECT_STREQ(label, "korvanel");
  EXPECT_EQ(labelOf("   \n", 5), "korv") << "the default is cut to fit too";
}

TEST(FileKind, ScriptsEndInScrAfterAtLeastOneCharacter) {
  EXPECT_TRUE(isConfigurationScript("autorun.scr"));
  EXPECT_TRUE(isConfigurationScript("a.scr"));
  EXPECT_FALSE(isConfigurationScript(".scr")) << "exactly four characters: a package";
  EXPECT_FALSE(isConfigurationScript("base.bdl"));
  EXPECT_FALSE(isConfigurationScript("autorun.scr.bdl"));
  EXPECT_FALSE(isConfigurationScript("AUTORUN.SCR"));
  char path[kScriptPathSize];
  ASSERT_TRUE(scriptPath("autorun.scr", 1, path, sizeof path));
  EXPECT_STREQ(path, "/mnt/autorun.scr");
  ASSERT_TRUE(scriptPath("autorun.scr", 0, path, sizeof path));
  EXPECT_STREQ(path, "/empty");
  EXPECT_FALSE(scriptPath(std::string(80, 'n').c_str(), 1, path, sizeof path));
}

}  // namespace
