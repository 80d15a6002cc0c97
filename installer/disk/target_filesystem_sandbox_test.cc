// mountTarget on loop devices whose tables and file systems the test made
// itself (util-linux-free: the table is written directly, mke2fs formats).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "disk/target_filesystem.h"
#include "disk_sandbox_support.h"

namespace {

using Mounts = std::vector<std::string>;

void makeFileSystem(const std::string& partition, bool journalled) {
  int status;
  shell(std::string("mke2fs -q -F ") + (journalled ? "-j " : "") + partition + " 2>&1", &status);
  ASSERT_EQ(status, 0) << partition;
}

// A two-partition disk (boot 2 cylinders, root the rest) of 1030 cylinders.
void twoPartitions(LoopDisk& disk) {
  disk.writeTable({{63, 2 * kCylinderSectors - 63, true},
                   {2 * kCylinderSectors, 1028 * kCylinderSectors, false}});
}

TEST(MountTarget, SingleLayoutMountsPartitionOneAndNeverABootPartition) {
  LoopDisk disk("hda", 16);
  disk.writeTable({{63, 16 * kCylinderSectors - 63, true}});
  makeFileSystem(disk.partition(1), /*journalled=*/true);
  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda1 /mnt ext3"}));
  struct stat st;
  EXPECT_NE(stat("/mnt/boot", &st), 0) << "no boot directory is made either";
}

// What an older layout left behind in partition 2 is not looked at: the
// disk's own layout decides (and the kernel is not asked for a partition 2
// that a single-layout disk does not have).
TEST(MountTarget, SingleLayoutTriesItsOwnRootBeforeAnyOther) {
  LoopDisk disk("hda", 32);
  disk.writeTable({{63, 16 * kCylinderSectors - 63, true},
                   {16 * kCylinderSectors, 16 * kCylinderSectors, false}});
  makeFileSystem(disk.partition(1), /*journalled=*/false);
  makeFileSystem(disk.partition(2), /*journalled=*/true);
  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda1 /mnt ext2"}));
}

TEST(MountTarget, SingleExt2RootIsFoundAfterTheJournalledCandidatesFail) {
  LoopDisk disk("hda", 5);
  disk.writeTable({{63, 5 * kCylinderSectors - 63, true}});
  makeFileSystem(disk.partition(1), /*journalled=*/false);
  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda1 /mnt ext2"}));
}

TEST(MountTarget, TwoPartitionLayoutsMountTheBootPartitionOnlyWhenAsked) {
  LoopDisk disk("hda", 1030);
  twoPartitions(disk);
  makeFileSystem(disk.partition(1), false);
  makeFileSystem(disk.partition(2), true);
  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda2 /mnt ext3", "/dev/hda1 /mnt/boot ext2"}));
  ASSERT_EQ(umount("/mnt/boot"), 0);
  ASSERT_EQ(umount("/mnt"), 0);

  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/false));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda2 /mnt ext3"}));
  ASSERT_EQ(umount("/mnt"), 0);

  // A disk not over 40 MiB in this layout has an ext2 root.
  makeFileSystem(disk.partition(2), false);
  ASSERT_TRUE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), (Mounts{"/dev/hda2 /mnt ext2", "/dev/hda1 /mnt/boot ext2"}));
}

TEST(MountTarget, NothingStaysMountedWhenTheBootPartitionFails) {
  LoopDisk disk("hda", 1030);
  twoPartitions(disk);
  makeFileSystem(disk.partition(2), true);  // partition 1 holds no file system
  EXPECT_FALSE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  EXPECT_EQ(targetMounts(), Mounts{});
}

TEST(MountTarget, ABlankDiskMountsNothing) {
  LoopDisk disk("hda", 16);
  EXPECT_FALSE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true));
  disk.writeTable({{63, 16 * kCylinderSectors - 63, true}});
  EXPECT_FALSE(mountTarget(disk.drive(), "/mnt", /*withBoot=*/true)) << "a partition, no file system";
  EXPECT_EQ(targetMounts(), Mounts{});
}

}  // namespace
