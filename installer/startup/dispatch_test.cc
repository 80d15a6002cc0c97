#include "startup/dispatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace {

std::string typeTextOf(const std::string& content) {
  char path[] = "/tmp/type.XXXXXX";
  int fd = mkstemp(path);
  (void)!write(fd, content.data(), content.size());
  close(fd);
  char text[kTypeTextSize];
  readTypeText(path, text);
  unlink(path);
  return text;
}

TEST(TypeText, FirstLineWithoutNewlineCutTo79) {
  EXPECT_EQ(typeTextOf("net\n"), "net");
  EXPECT_EQ(typeTextOf("cdrom"), "cdrom");
  EXPECT_EQ(typeTextOf("cdrom \nnet\n"), "cdrom ");
  EXPECT_EQ(typeTextOf(""), "");
  EXPECT_EQ(typeTextOf(std::string(200, 'x') + "\n"), std::string(79, 'x'));
  char text[kTypeTextSize] = "stale";
  readTypeText("/nonexistent/TYPE", text);
  EXPECT_STREQ(text, "");
}

TEST(ModeSelection, SwitchAnywhereAfterTheProgramNameWins) {
  char prog[] = "/init", other[] = "quiet", sw[] = "-hdd-install", almost[] = "-hdd-install2";
  char* withSwitch[] = {prog, other, sw};
  char* programNameOnly[] = {sw};
  char* lookalike[] = {prog, almost};
  EXPECT_TRUE(hasHardDiskSwitch(3, withSwitch));
  EXPECT_FALSE(hasHardDiskSwitch(1, programNameOnly));
  EXPECT_FALSE(hasHardDiskSwitch(2, lookalike));
  EXPECT_FALSE(hasHardDiskSwitch(0, nullptr));

  EXPECT_EQ(selectMode(true, "net"), InstallationMode::HardDisk);
  EXPECT_EQ(selectMode(true, "cdrom"), InstallationMode::HardDisk);
}

TEST(ModeSelection, TypeTextMustMatchExactly) {
  EXPECT_EQ(selectMode(false, "cdrom"), InstallationMode::Cdrom);
  EXPECT_EQ(selectMode(false, "net"), InstallationMode::Network);
  EXPECT_EQ(selectMode(false, "cdrom "), InstallationMode::Unknown);
  EXPECT_EQ(selectMode(false, "CDROM"), InstallationMode::Unknown);
  EXPECT_EQ(selectMode(false, ""), InstallationMode::Unknown);
  EXPECT_EQ(selectMode(false, "network"), InstallationMode::Unknown);
}

}  // namespace
