#include "disk/target_layout.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

DriveInfo drive(const char* device, uint32_t cylinders, uint32_t heads, uint32_t sectors) {
  DriveInfo info;
  EXPECT_TRUE(info.setDevice(device));
  info.setGeometry(cylinders, heads * sectors * 512);
  return info;
}

TEST(TargetLayout, BootPartitionIsTheSmallestWholeCylinderCountHolding10MiB) {
  EXPECT_EQ(bootCylinders(255 * 63 * 512), 2u);
  EXPECT_EQ(bootCylinders(16 * 63 * 512), 21u);
  EXPECT_EQ(bootCylinders(10485760), 1u);
  EXPECT_EQ(bootCylinders(10485759), 2u);
  EXPECT_EQ(bootCylinders(512), 20480u);
  // A 32-bit sum would wrap here and give an empty boot partition.
  EXPECT_EQ(bootCylinders(0xFFFFFFFFu), 1u);
}

TEST(TargetLayout, RootPartitionAndTypeFollowTheTwoFlags) {
  DriveInfo single = drive("/dev/hda", 1023, 16, 63);
  EXPECT_EQ(rootPartitionNumber(single), 1);
  EXPECT_STREQ(rootFileSystemType(single), "ext3");
  DriveInfo twoPart = drive("/dev/sda", 1024, 255, 63);
  EXPECT_EQ(rootPartitionNumber(twoPart), 2);
  EXPECT_STREQ(rootFileSystemType(twoPart), "ext3");
  DriveInfo small = drive("/dev/hdb", 80, 16, 63);
  EXPECT_EQ(rootPartitionNumber(small), 1);
  EXPECT_STREQ(rootFileSystemType(small), "ext2");
}

TEST(TargetLayout, PathsAreRefusedRatherThanCut) {
  char buffer[kPathSize];
  DriveInfo info = drive("/dev/sdh", 10, 1, 1);
  ASSERT_TRUE(partitionPath(buffer, info, 2));
  EXPECT_STREQ(buffer, "/dev/sdh2");

  std::string root(70, 'r');
  EXPECT_TRUE(formatPath(buffer, sizeof buffer, "%s/etc", root.c_str()));
  EXPECT_FALSE(formatPath(buffer, sizeof buffer, "%s/etc/lilo.conf", root.c_str()));
  EXPECT_STREQ(buffer, "") << "a refused path must not name a cut file";
  std::string exact(kPathSize - 1, 'x');
  EXPECT_TRUE(formatPath(buffer, sizeof buffer, "%s", exact.c_str()));
  EXPECT_EQ(strlen(buffer), kPathSize - 1);
}

}  // namespace
