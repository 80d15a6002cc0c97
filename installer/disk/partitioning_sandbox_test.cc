// partitionDisk and formatPartitions with the tools at their fixed paths:
// first against recording stand-ins (the exact dialogue), then for real on
// loop devices, read back by util-linux and e2fsprogs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <regex>
#include <string>

#include "disk/command_runner.h"
#include "disk/partitioning.h"
#include "disk_sandbox_support.h"
#include "disk_test_support.h"
#include "output_capture.h"
#include "startup/process_state.h"

namespace {

constexpr const char* kCalls = "/run/tool-calls";
constexpr const char* kDump = "/run/sfdisk-dump";

// Records "<tool>: <args>" and, for the table writer, its input.
const char* const kRecordingSfdisk =
    "printf 'sfdisk:' >> /run/tool-calls; printf ' %s' \"$@\" >> /run/tool-calls\n"
    "echo >> /run/tool-calls\n"
    "case \"$1\" in\n"
    "  -d) echo 'dump complains' >&2; cat /run/sfdisk-dump 2>/dev/null; exit ${FAIL_DUMP:-0} ;;\n"
    "  -q) echo 'writer says hello'; echo 'writer complains' >&2; cat >> /run/tool-calls;\n"
    "      exit ${FAIL_WRITER:-0} ;;\n"
    "esac";

const char* const kRecordingMke2fs =
    "printf 'mke2fs:' >> /run/tool-calls; printf ' %s' \"$@\" >> /run/tool-calls\n"
    "echo >> /run/tool-calls\n"
    "for last; do :; done\n"
    "case \"$last\" in *1) exit ${FAIL_FIRST:-0} ;; *2) exit ${FAIL_SECOND:-0} ;; esac";

DriveInfo drive(uint32_t cylinders, uint32_t cylinderBytes = kLoopCylinderBytes) {
  DriveInfo info;
  EXPECT_TRUE(info.setDevice("/dev/hda"));
  info.setGeometry(cylinders, cylinderBytes);
  return info;
}

class ToolDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(kCalls);
    unlink(kDump);
    logConsolePath = log_.path();
    // As in the installer: a tool that is gone makes writes fail, not end us.
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    unsetenv("FAIL_FIRST");
    unsetenv("FAIL_SECOND");
    unsetenv("FAIL_DUMP");
    unsetenv("FAIL_WRITER");
    EXPECT_EQ(activeChildPid, -1);
  }
  static std::string calls() { return readFile(kCalls) == "(missing)" ? "" : readFile(kCalls); }

  LogConsole log_;
  ToolStandIn sfdisk_{"/sbin/sfdisk", kRecordingSfdisk};
  ToolStandIn mke2fs_{"/sbin/mke2fs", kRecordingMke2fs};
};

TEST_F(ToolDialogue, BlankDiskGetsOnlyTheNewPartitions) {
  std::string out = captureStdout([] { EXPECT_TRUE(partitionDisk(drive(16))); });
  EXPECT_EQ(calls(),
            "sfdisk: -d -uC /dev/hda\n"
            "sfdisk: -q -uC /dev/hda\n"
            "0,16,83,*\n");
  EXPECT_EQ(out, "") << "the writer's output belongs to the log console";
  EXPECT_EQ(log_.take(), "dump complains\nwriter says hello\nwriter complains\n")
      << "the dump's errors, the writer's output and errors";
}

TEST_F(ToolDialogue, EverySlotTheOldTableListedIsEmptied) {
  writeFile(kDump,
            "# partition table of /dev/hda\n"
            "unit: cylinders\n"
            "\n"
            "/dev/hda1 : start=    0, size=  500, Id=83, bootable\n"
            "/dev/hda2 : start=  500, size=  530, Id=83\n"
            "/dev/hda3 : start=    0, size=    0, Id= 0\n"
            "/dev/hda4 : start=    0, size=    0, Id= 0\n");
  EXPECT_TRUE(partitionDisk(drive(1030)));
  EXPECT_EQ(calls(),
            "sfdisk: -d -uC /dev/hda\n"
            "sfdisk: -q -uC /dev/hda\n"
            "0,2,83,*\n2,1028,83,-\n0,0,0\n0,0,0\n");

  unlink(kCalls);
  writeFile(kDump,
            "/dev/hda1 : start=    0, size=  500, Id=83\n/dev/hda2 : start=0, size=0, Id= 0\n"
            "/dev/hda3 : start=    0, size=    0, Id= 0\n/dev/hda4 : start=500, size=530, Id= 5\n"
            "/dev/hda5 : start=  500, size=  200, Id=83\n/dev/hda6 : start=700, size=330, Id=83\n");
  EXPECT_TRUE(partitionDisk(drive(1023)));
  EXPECT_EQ(calls(),
            "sfdisk: -d -uC /dev/hda\n"
            "sfdisk: -q -uC /dev/hda\n"
            "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n");
}

TEST_F(ToolDialogue, NothingRunsWhenTheSlotIsBusyOrTheGeometryImpossible) {
  activeChildPid = 99999;  // another piped child is running
  EXPECT_FALSE(partitionDisk(drive(16)));
  activeChildPid = -1;
  EXPECT_FALSE(partitionDisk(drive(1024, 0)));
  EXPECT_FALSE(partitionDisk(drive(1024, 512)));
  EXPECT_EQ(calls(), "");
}

TEST_F(ToolDialogue, ATableTheWriterRefusedIsAFailureAndAFailedDumpIsNot) {
  // A blank disk has nothing to dump: zero old slots, and on it goes.
  setenv("FAIL_DUMP", "1", 1);
  EXPECT_TRUE(partitionDisk(drive(16)));
  // A refused table must not leave the old partitions to be formatted and
  // the installation reported as done.
  setenv("FAIL_WRITER", "1", 1);
  EXPECT_FALSE(partitionDisk(drive(16)));
  // Started but not executable: the child exits with 127.
  unsetenv("FAIL_WRITER");
  ASSERT_EQ(unlink("/sbin/sfdisk"), 0);
  EXPECT_FALSE(partitionDisk(drive(16)));
}

TEST_F(ToolDialogue, JournalOnlyForTheRootOfADiskOver40MiB) {
  EXPECT_TRUE(formatPartitions(drive(5)));                  // 41,126,400 bytes: ext2
  EXPECT_TRUE(formatPartitions(drive(16)));                 // single ext3
  EXPECT_TRUE(formatPartitions(drive(1030)));               // boot ext2, root ext3
  EXPECT_TRUE(formatPartitions(drive(1024, 16 * 63 * 2)));  // 16 MiB over 1024 cylinders
  EXPECT_EQ(calls(),
            "mke2fs: /dev/hda1\n"
            "mke2fs: -j /dev/hda1\n"
            "mke2fs: /dev/hda1\n"
            "mke2fs: -j /dev/hda2\n"
            "mke2fs: /dev/hda1\n"
            "mke2fs: /dev/hda2\n");
}

TEST_F(ToolDialogue, FormattingStopsAtTheFirstFailure) {
  setenv("FAIL_FIRST", "1", 1);
  EXPECT_FALSE(formatPartitions(drive(1030)));
  EXPECT_EQ(calls(), "mke2fs: /dev/hda1\n") << "partition 2 is not formatted";
  unsetenv("FAIL_FIRST");
  unlink(kCalls);
  setenv("FAIL_SECOND", "9", 1);
  EXPECT_FALSE(formatPartitions(drive(1030)));
  EXPECT_EQ(calls(), "mke2fs: /dev/hda1\nmke2fs: -j /dev/hda2\n");
  ASSERT_EQ(unlink("/sbin/mke2fs"), 0);
  EXPECT_FALSE(formatPartitions(drive(16))) << "a tool that cannot run";
}

// The real thing: our partitioning tool, Debian's mke2fs, util-linux and
// e2fsprogs reading the results back.
class RealDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    logConsolePath = log_.path();
    ASSERT_FALSE(partitioningTool().empty()) << "bin/sfdisk is missing from the build";
    sfdisk_.emplace(ToolStandIn::copyOf("/sbin/sfdisk", partitioningTool()));
  }
  LogConsole log_;
  std::optional<ToolStandIn> sfdisk_;
};

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST_F(RealDisk, SingleLayoutOverTheWholeDisk) {
  LoopDisk disk("hda", 16);
  ASSERT_TRUE(partitionDisk(disk.drive()));
  std::vector<std::string> parts = lines(partitionTable(disk));
  ASSERT_EQ(parts.size(), 1u) << partitionTable(disk);
  expectCylinders(parts[0], 0, 16, /*bootable=*/true);
  EXPECT_TRUE(exists(disk.partition(1))) << "the kernel knows the new partition";
  // fdisk reads the same table: one Linux partition, number 1, bootable.
  std::string listing = shell("fdisk -l " + disk.device() + " 2>/dev/null | grep ' 83 Linux'");
  EXPECT_EQ(lines(listing).size(), 1u) << listing;
  EXPECT_TRUE(std::regex_search(listing, std::regex("^\\S+1 +\\* "))) << listing;
}

TEST_F(RealDisk, TwoPartitionLayoutOverAnOldTableWithMoreSlots) {
  LoopDisk disk("hda", 1030);
  uint64_t cylinder = kCylinderSectors;
  disk.writeTable({{63, 100 * cylinder - 63, false}, {100 * cylinder, 100 * cylinder, true},
                   {200 * cylinder, 100 * cylinder, false}, {300 * cylinder, 100 * cylinder, false}});
  ASSERT_TRUE(partitionDisk(disk.drive()));
  std::vector<std::string> parts = lines(partitionTable(disk));
  ASSERT_EQ(parts.size(), 2u) << partitionTable(disk);
  expectCylinders(parts[0], 0, 2, /*bootable=*/true);
  expectCylinders(parts[1], 2, 1030, /*bootable=*/false);
  EXPECT_TRUE(exists(disk.partition(2)));
  EXPECT_FALSE(exists(disk.partition(3))) << "old slots are gone for the kernel too";
  EXPECT_FALSE(exists(disk.partition(4)));

  // And back to the single layout: the old partition 2 disappears.
  DriveInfo single = disk.drive();
  single.setGeometry(1023, kLoopCylinderBytes);
  ASSERT_TRUE(partitionDisk(single));
  parts = lines(partitionTable(disk));
  ASSERT_EQ(parts.size(), 1u) << partitionTable(disk);
  expectCylinders(parts[0], 0, 1023, /*bootable=*/true);
  EXPECT_FALSE(exists(disk.partition(2)));
}

// Debian's mke2fs on partitions laid out by the test itself.
class RealFormatting : public ::testing::Test {
 protected:
  void SetUp() override { logConsolePath = log_.path(); }
  LogConsole log_;
};

TEST_F(RealFormatting, EachLayoutGetsItsFileSystems) {
  {
    LoopDisk disk("hda", 5);  // 41,126,400 bytes: not over 40 MiB
    disk.writeTable({{63, 5 * kCylinderSectors - 63, true}});
    ASSERT_TRUE(formatPartitions(disk.drive()));
    EXPECT_FALSE(journalled(disk.partition(1)));
    EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
  }
  {
    LoopDisk disk("hda", 16);
    disk.writeTable({{63, 16 * kCylinderSectors - 63, true}});
    ASSERT_TRUE(formatPartitions(disk.drive()));
    EXPECT_TRUE(journalled(disk.partition(1)));
    EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
  }
  {
    LoopDisk disk("hda", 1030);
    disk.writeTable({{63, 2 * kCylinderSectors - 63, true},
                     {2 * kCylinderSectors, 1028 * kCylinderSectors, false}});
    ASSERT_TRUE(formatPartitions(disk.drive()));
    EXPECT_FALSE(journalled(disk.partition(1))) << "the boot partition is never journalled";
    EXPECT_TRUE(journalled(disk.partition(2)));
    EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
    EXPECT_EQ(checkFileSystem(disk.partition(2)), 0);
  }
}

TEST_F(RealFormatting, APartitionTheKernelDoesNotKnowFailsFormatting) {
  LoopDisk disk("hda", 1030);
  disk.writeTable({{63, 2 * kCylinderSectors - 63, true}});  // no partition 2
  EXPECT_FALSE(formatPartitions(disk.drive()));
}

}  // namespace
