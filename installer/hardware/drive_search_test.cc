// The drive search of the real installer, with the real clock: the installer
// runs as process 1 of a sandbox in CD-ROM mode, with a fake partitioning
// tool whose disk appears late or never. Dots are counted with the slack a
// shared machine needs; their exact pacing is the unit tests' business.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sandbox.h"

namespace {

constexpr const char* kSearch = "\nLooking for harddrives...";
constexpr const char* kPrompt = "Press ENTER to reboot\n";

class DriveSearch : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    sandbox.options.program = GetParam();
    sandbox.options.typeText = "cdrom\n";
  }

  // Runs to the final prompt and returns what followed the search line, with
  // its run of dots replaced by "<dots>"; `dots` receives their number.
  std::string runSearch(int& dots) {
    EXPECT_TRUE(sandbox.start());
    EXPECT_TRUE(sandbox.console().waitFor(kPrompt, 60)) << sandbox.console().output();
    std::string out = sandbox.console().output();
    size_t at = out.find(kSearch);
    if (at == std::string::npos) return out;
    at += strlen(kSearch);
    size_t end = out.find_first_not_of('.', at);
    dots = static_cast<int>(end - at);
    sandbox.console().send("\r");
    EXPECT_EQ(sandbox.waitForEnd(30), Sandbox::kRestarted);
    return "<dots>" + out.substr(end);
  }

  void expectScanCalls(size_t count) {
    auto calls = sandbox.calls("/sbin/sfdisk");
    ASSERT_EQ(calls.size(), count);
    for (const ToolCall& call : calls) {
      EXPECT_EQ(call.argv, (std::vector<std::string>{"/sbin/sfdisk", "-g"}));
    }
  }

  Sandbox sandbox;
};

TEST_P(DriveSearch, DiskAppearingAfterThreeSecondsIsFoundByTheFourthScan) {
  sandbox.fakeTool("/sbin/sfdisk",
                   "if [ \"$n\" -ge 3 ]; then\n"
                   "  echo '/dev/sda: 1044 cylinders, 255 heads, 63 sectors/track'\n"
                   "else\n"
                   "  echo 'sfdisk: cannot open /dev/sda: No such device' >&2\n"
                   "fi");
  int dots = -1;
  std::string tail = runSearch(dots);
  EXPECT_EQ(tail, "<dots>\n\nFound harddrive as SATA 1\n"
                  "\nFATAL ERROR: no CD-ROM found\n" +
                      std::string(kPrompt));
  EXPECT_GE(dots, 3);
  EXPECT_LE(dots, 5);
  expectScanCalls(4);
}

TEST_P(DriveSearch, NoDiskAtAllEndsAfterTwentyScansOfAboutASecondEach) {
  sandbox.fakeTool("/sbin/sfdisk", "echo 'Disk /dev/sda: unusable'; echo '/dev/sdb: unusable'");
  int dots = -1;
  std::string tail = runSearch(dots);
  EXPECT_EQ(tail, "<dots>\n\nFATAL ERROR: no harddrives found\n" + std::string(kPrompt));
  EXPECT_GE(dots, 19);
  EXPECT_LE(dots, 22);
  expectScanCalls(20);
}

INSTANTIATE_TEST_SUITE_P(Builds, DriveSearch,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/installer",
                                           KORVANEL_I386_DIR "/bin/installer"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
