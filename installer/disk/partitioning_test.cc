// The sfdisk dialogue as pure text. partitionDisk and formatPartitions run
// against real and stand-in tools in the sandbox (partitioning_sandbox_test.cc).
#include "disk/partitioning.h"

#include <gtest/gtest.h>

#include <string>

namespace {

DriveInfo drive(uint32_t cylinders, uint32_t heads, uint32_t sectors) {
  DriveInfo info;
  EXPECT_TRUE(info.setDevice("/dev/hda"));
  info.setGeometry(cylinders, heads * sectors * 512);
  return info;
}

int countText(const std::string& text) {
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  int slots = countTableSlots(stream);
  fclose(stream);
  return slots;
}

TEST(PartitionTable, LayoutsAndTheEmptiedOldSlots) {
  // 1023 cylinders: one bootable partition over the whole disk.
  EXPECT_EQ(partitionTableInput(drive(1023, 16, 63), 0), "0,1023,83,*\n");
  EXPECT_EQ(partitionTableInput(drive(1023, 16, 63), 4),
            "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n");
  // 1024 cylinders of 255 x 63: a 2-cylinder boot partition and the rest.
  EXPECT_EQ(partitionTableInput(drive(1024, 255, 63), 0), "0,2,83,*\n2,1022,83,-\n");
  EXPECT_EQ(partitionTableInput(drive(1024, 255, 63), 4),
            "0,2,83,*\n2,1022,83,-\n0,0,0\n0,0,0\n");
  // Four primary and two logical slots: everything behind the new ones empty.
  EXPECT_EQ(partitionTableInput(drive(2000, 16, 63), 6),
            "0,21,83,*\n21,1979,83,-\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n");
  // Fewer old slots than new partitions add nothing.
  EXPECT_EQ(partitionTableInput(drive(2000, 16, 63), 1), "0,21,83,*\n21,1979,83,-\n");
}

TEST(PartitionTable, OnlyDumpLinesThatStartWithADevicePathAreSlots) {
  EXPECT_EQ(countText(""), 0) << "a blank disk";
  EXPECT_EQ(countText("# partition table of /dev/hda\n"
                      "unit: cylinders\n"
                      "\n"
                      "/dev/hda1 : start=        1, size=  1023, Id=83, bootable\n"
                      "/dev/hda2 : start=        0, size=     0, Id= 0\n"
                      "/dev/hda3 : start=        0, size=     0, Id= 0\n"
                      "/dev/hda4 : start=        0, size=     0, Id= 0\n"),
            4);
  EXPECT_EQ(countText(" /dev/hda1 indented\n/dev/hda2 without end of line"), 1);
  // A line longer than the reader's buffer: its continuation is no slot even
  // when "/dev/" falls exactly at the start of the next piece.
  std::string longLine = "x" + std::string(254, ' ') + "/dev/hda9 continuation\n/dev/hda1\n";
  EXPECT_EQ(countText(longLine), 1);
  // A zero byte inside a line ends neither the line nor the count (found by
  // the table_dump fuzz target: the slot after it went uncounted).
  const char withZeros[] = "\0\0\0\n/dev/hda1\0~\n/dev/hda2\n";
  EXPECT_EQ(countText(std::string(withZeros, sizeof withZeros - 1)), 2);
}

TEST(PartitionTable, GeometriesWithoutRoomForTheTwoPartitionLayoutAreRefused) {
  EXPECT_TRUE(layoutIsPossible(drive(1023, 0, 0))) << "the single layout needs no boot size";
  EXPECT_TRUE(layoutIsPossible(drive(1024, 255, 63)));
  EXPECT_FALSE(layoutIsPossible(drive(1024, 0, 63))) << "no cylinder size: division by zero";
  // 512-byte cylinders need 20480 boot cylinders: the root would be negative.
  EXPECT_FALSE(layoutIsPossible(drive(1024, 1, 1)));
  EXPECT_FALSE(layoutIsPossible(drive(20480, 1, 1)));
  EXPECT_TRUE(layoutIsPossible(drive(20481, 1, 1)));
}

}  // namespace
