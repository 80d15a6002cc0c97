// finishInstallation's own edge cases; the full road is in
// install_sandbox_test.cc.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <string>
#include <vector>

#include "disk/post_install.h"
#include "disk_sandbox_support.h"
#include "disk_test_support.h"
#include "output_capture.h"
#include "startup/process_state.h"

namespace {

const std::string kRootReport = KORVANEL_BINARY_DIR "/bin/root_report";

void format(const std::string& partition, bool journalled) {
  int status;
  shell(std::string("mke2fs -q -F ") + (journalled ? "-j " : "") + partition + " 2>&1", &status);
  ASSERT_EQ(status, 0);
}

class PostInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    logConsolePath = log_.path();
  }
  LogConsole log_;
};

TEST_F(PostInstall, WithoutAScriptTheDiskIsStillCheckedAndUnmounted) {
  LoopDisk disk("hda", 16);
  disk.writeTable({{63, 16 * kCylinderSectors - 63, true}});
  format(disk.partition(1), true);
  ASSERT_EQ(mount(disk.partition(1).c_str(), "/mnt", "ext3", 0, nullptr), 0);
  int status;
  // No /bin/bash in the new system: the shell cannot even start.
  shell("mkdir -p /mnt/sbin && cp " + kRootReport + " /mnt/sbin/fsck", &status);
  ASSERT_EQ(status, 0);
  bool written = false;
  std::string out =
      withoutDots(captureStdout([&] { written = finishInstallation(disk.drive()); }));
  EXPECT_TRUE(written);
  EXPECT_EQ(out, "Checking disk integrity...\n");
  EXPECT_EQ(log_.take(), "/sbin/fsck -d -v | root ro | marker none\n");
  EXPECT_EQ(targetMounts(), std::vector<std::string>{});
}

TEST_F(PostInstall, FailingProgramsChangeNothing) {
  LoopDisk disk("hda", 16);
  disk.writeTable({{63, 16 * kCylinderSectors - 63, true}});
  format(disk.partition(1), true);
  ASSERT_EQ(mount(disk.partition(1).c_str(), "/mnt", "ext3", 0, nullptr), 0);
  int status;
  shell("mkdir -p /mnt/bin /mnt/sbin && cp " + kRootReport + " /mnt/bin/bash && cp " + kRootReport +
            " /mnt/sbin/fsck",
        &status);
  ASSERT_EQ(status, 0);
  setenv("ROOT_REPORT_EXIT", "4", 1);
  bool written = false;
  std::string out =
      withoutDots(captureStdout([&] { written = finishInstallation(disk.drive()); }));
  unsetenv("ROOT_REPORT_EXIT");
  EXPECT_TRUE(written) << "the tools' statuses do not count";
  EXPECT_EQ(out, "Checking disk integrity...\n");
  EXPECT_EQ(targetMounts(), std::vector<std::string>{});
}

TEST_F(PostInstall, ARefusedRemountSkipsTheCheckSilently) {
  // Nothing mounted on /mnt at all: the remount fails, so does everything.
  LoopDisk disk("hda", 16);
  std::string out = captureStdout([&] { (void)finishInstallation(disk.drive()); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(log_.take(), "");
}

// A disk that takes the file system but not the packages written after it
// (its image lies on a file system too small for it: the loop device's
// writes fail once that is full). The packages sit in the caches; the write-
// back fails, and that must not pass for an installed system.
TEST_F(PostInstall, WritesThatNeverReachTheDiskAreReported) {
  ASSERT_EQ(mkdir("/run/small", 0700), 0);
  ASSERT_EQ(mount("small", "/run/small", "tmpfs", 0, "size=6m"), 0);
  {
    LoopDisk disk("hda", 4, "/run/small");
    disk.writeTable({{63, 4 * kCylinderSectors - 63, true}});
    format(disk.partition(1), false);
    ASSERT_EQ(mount(disk.partition(1).c_str(), "/mnt", "ext2", 0, nullptr), 0);
    int status;
    shell("head -c 16777216 /dev/urandom > /mnt/package-data", &status);
    ASSERT_EQ(status, 0) << "the caches take it";
    bool written = true;
    std::string out =
        withoutDots(captureStdout([&] { written = finishInstallation(disk.drive()); }));
    int error = errno;
    EXPECT_FALSE(written);
    // The loop device hands on its file's failure; a dead disk says EIO.
    EXPECT_TRUE(error == ENOSPC || error == EIO) << strerror(error);
    EXPECT_EQ(targetMounts(), std::vector<std::string>{});
  }
  ASSERT_EQ(umount("/run/small"), 0);
}

}  // namespace
