#include "hardware/drive_info.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(DriveInfo, StartsEmpty) {
  DriveInfo drive;
  EXPECT_STREQ(drive.device, "");
  EXPECT_EQ(drive.cylinders, 0u);
  EXPECT_EQ(drive.cylinderBytes, 0u);
  EXPECT_FALSE(drive.over1024Cylinders);
  EXPECT_FALSE(drive.over40MiB);
}

TEST(DriveInfo, FlagsFollowTheGeometry) {
  DriveInfo drive;
  drive.setGeometry(1023, 255 * 63 * 512);
  EXPECT_FALSE(drive.over1024Cylinders);
  drive.setGeometry(1024, 255 * 63 * 512);
  EXPECT_TRUE(drive.over1024Cylinders);

  drive.setGeometry(1023, 16 * 63 * 512);  // 527,966,208 bytes
  EXPECT_TRUE(drive.over40MiB);
  drive.setGeometry(80, 16 * 63 * 512);  // 41,287,680 bytes
  EXPECT_FALSE(drive.over40MiB);
  drive.setGeometry(80, 524288);  // exactly 40 MiB
  EXPECT_FALSE(drive.over40MiB);
  drive.setGeometry(80, 524289);
  EXPECT_TRUE(drive.over40MiB);
  // The product is taken in 64 bits: it must not wrap to something small.
  drive.setGeometry(0x10000, 0x10000);
  EXPECT_TRUE(drive.over40MiB);
}

TEST(DriveInfo, DeviceIsAZeroFilledFieldAndTooLongPathsAreRefused) {
  DriveInfo drive;
  ASSERT_TRUE(drive.setDevice("/dev/hda"));
  EXPECT_STREQ(drive.device, "/dev/hda");
  for (size_t i = strlen("/dev/hda"); i < DriveInfo::kDeviceSize; ++i) EXPECT_EQ(drive.device[i], 0);
  std::string longest(DriveInfo::kDeviceSize - 1, 'd');
  EXPECT_TRUE(drive.setDevice(longest.c_str()));
  std::string tooLong(DriveInfo::kDeviceSize, 'd');
  EXPECT_FALSE(drive.setDevice(tooLong.c_str()));
  EXPECT_EQ(std::string(drive.device), longest);
}

}  // namespace
