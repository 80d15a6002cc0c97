// Input lines, placement in sectors and the bytes of the first sector.
#include <gtest/gtest.h>

#include <cstring>

#include "mbr.h"
#include "partition_lines.h"
#include "table_layout.h"

namespace {

DiskGeometry disk(uint32_t heads, uint32_t sectors, uint64_t cylinders) {
  DiskGeometry geometry;
  geometry.heads = heads;
  geometry.sectorsPerTrack = sectors;
  geometry.totalSectors = cylinders * heads * sectors;
  return geometry;
}

std::vector<PartitionRequest> parse(const std::string& text) {
  std::vector<PartitionRequest> requests;
  std::string error;
  EXPECT_TRUE(parsePartitionInput(text, requests, error)) << error;
  return requests;
}

std::string refusal(const std::string& text, const DiskGeometry& geometry) {
  std::vector<PartitionRequest> requests;
  std::string error;
  if (!parsePartitionInput(text, requests, error)) return error;
  PartitionTable table;
  if (!layOutTable(requests, geometry, table, error)) return error;
  return "";
}

TEST(PartitionLines, TheInstallersLinesAndTheirVariants) {
  auto requests = parse("0,2,83,*\n2,1022,83,-\n0,0,0\n");
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].startCylinder, 0u);
  EXPECT_EQ(requests[0].sizeCylinders, 2u);
  EXPECT_EQ(requests[0].type, 0x83);
  EXPECT_TRUE(requests[0].bootable);
  EXPECT_EQ(requests[1].startCylinder, 2u);
  EXPECT_FALSE(requests[1].bootable);
  EXPECT_TRUE(requests[2].isEmpty());
  // Types are hexadecimal; blanks, a carriage return and blank lines are harmless;
  // the bootable field is optional.
  requests = parse("\n 5 , 10 , 8e \r\n\n7,1,c\n");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].type, 0x8e);
  EXPECT_EQ(requests[0].startCylinder, 5u);
  EXPECT_EQ(requests[1].type, 0x0c);
  EXPECT_FALSE(requests[1].bootable);
  EXPECT_TRUE(parse("").empty());
}

TEST(PartitionLines, MalformedLinesAreRefusedWithTheirLineNumber) {
  const DiskGeometry geometry = disk(255, 63, 1000);
  for (const char* bad : {"0,2\n", "0,2,83,*,x\n", "a,2,83\n", "0,-2,83\n", "0,2,183\n",
                          "0,2,83,+\n", "0,2,83,\n", "0,4294967296,83\n", "0,,83\n", "0 2 83\n",
                          "0,5,0\n"}) {
    std::string error = refusal(std::string("0,1,83\n") + bad, geometry);
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << bad << " gave: " << error;
  }
}

TEST(TableLayout, CylinderZeroStartsOneTrackInOthersOnTheirBoundaryAllEndOnOne) {
  for (auto geometry : {disk(255, 63, 1024), disk(16, 63, 1100)}) {
    const uint32_t perCylinder = geometry.heads * geometry.sectorsPerTrack;
    PartitionTable table;
    std::string error;
    ASSERT_TRUE(layOutTable(parse("0,2,83,*\n2,1022,83,-\n"), geometry, table, error)) << error;
    EXPECT_EQ(table.slots[0].firstSector, geometry.sectorsPerTrack);
    EXPECT_EQ(table.slots[0].sectorCount, 2 * perCylinder - geometry.sectorsPerTrack);
    EXPECT_TRUE(table.slots[0].bootable);
    EXPECT_EQ(table.slots[1].firstSector, 2 * perCylinder);
    EXPECT_EQ(table.slots[1].sectorCount, 1022 * perCylinder);
    EXPECT_FALSE(table.slots[1].bootable);
    EXPECT_TRUE(table.slots[2].isEmpty());
    EXPECT_TRUE(table.slots[3].isEmpty());
  }
}

TEST(TableLayout, RefusesWhatTheDiskCannotHold) {
  const DiskGeometry geometry = disk(255, 63, 1023);
  EXPECT_EQ(refusal("0,1023,83,*\n", geometry), "");
  EXPECT_NE(refusal("0,1024,83,*\n", geometry).find("past the end of the disk (1023 cylinders)"),
            std::string::npos);
  EXPECT_NE(refusal("1000,24,83\n", geometry).find("past the end"), std::string::npos);
  EXPECT_NE(refusal("0,10,83\n9,5,83\n", geometry).find("partitions 1 and 2 overlap"),
            std::string::npos);
  EXPECT_NE(refusal("9,5,83\n0,0,0\n0,10,83\n", geometry).find("partitions 1 and 3 overlap"),
            std::string::npos);
  EXPECT_EQ(refusal("0,10,83\n10,5,83\n", geometry), "") << "touching is not overlapping";
  EXPECT_NE(refusal("0,1,83\n1,1,83\n2,1,83\n3,1,83\n4,1,83\n", geometry).find("more than four"),
            std::string::npos);
  EXPECT_NE(refusal("0,10,5\n", geometry).find("extended"), std::string::npos);
  EXPECT_NE(refusal("0,1,83\n", disk(1, 63, 100)).find("no sector"), std::string::npos);
  // A partition table counts sectors in 32 bits.
  DiskGeometry huge = disk(255, 63, 300000);
  EXPECT_EQ(refusal("0,267349,83\n", huge), "");
  EXPECT_NE(refusal("0,267350,83\n", huge).find("2 TiB"), std::string::npos);
}

TEST(TableLayout, EmptyLinesPastTheFourthSlotClearLogicalSlots) {
  const DiskGeometry geometry = disk(255, 63, 1023);
  PartitionTable table;
  std::string error;
  // An old dump with six slots: the installer empties all of them.
  ASSERT_TRUE(layOutTable(parse("0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n"), geometry,
                          table, error))
      << error;
  EXPECT_FALSE(table.slots[0].isEmpty());
  for (int slot = 1; slot < kPrimarySlots; ++slot) EXPECT_TRUE(table.slots[slot].isEmpty());
}

TEST(ChsAddresses, FollowTheGeometryAndMarkPositionsPastCylinder1023) {
  DiskGeometry wide = disk(255, 63, 2000);
  Chs chs = chsOf(63, wide);
  EXPECT_EQ(chs.cylinder, 0u);
  EXPECT_EQ(chs.head, 1u);
  EXPECT_EQ(chs.sector, 1u);
  chs = chsOf(1024ull * 16065 - 1, wide);  // last sector of cylinder 1023
  EXPECT_EQ(chs.cylinder, 1023u);
  EXPECT_EQ(chs.head, 254u);
  EXPECT_EQ(chs.sector, 63u);
  chs = chsOf(1024ull * 16065, wide);  // first sector of cylinder 1024
  EXPECT_EQ(chs.cylinder, 1023u);
  EXPECT_EQ(chs.head, 254u);
  EXPECT_EQ(chs.sector, 63u);
  DiskGeometry narrow = disk(16, 63, 2000);
  chs = chsOf(5000ull * 1008 + 70, narrow);  // the marker, not a 16-head position
  EXPECT_EQ(chs.cylinder, 1023u);
  EXPECT_EQ(chs.head, 254u);
  EXPECT_EQ(chs.sector, 63u);
  chs = chsOf(1000ull * 1008 + 70, narrow);
  EXPECT_EQ(chs.cylinder, 1000u);
  EXPECT_EQ(chs.head, 1u);
  EXPECT_EQ(chs.sector, 8u);

  uint8_t bytes[3];
  packChs({1023, 254, 63}, bytes);
  EXPECT_EQ(bytes[0], 0xfe);
  EXPECT_EQ(bytes[1], 0xff);
  EXPECT_EQ(bytes[2], 0xff);
  packChs({513, 3, 5}, bytes);  // the cylinder's high bits ride in the sector byte
  EXPECT_EQ(bytes[1], 0x85);
  EXPECT_EQ(bytes[2], 0x01);
  Chs back = unpackChs(bytes);
  EXPECT_EQ(back.cylinder, 513u);
  EXPECT_EQ(back.head, 3u);
  EXPECT_EQ(back.sector, 5u);
}

TEST(FirstSector, KeepsTheBootCodeAndWritesEntriesAndSignature) {
  DiskGeometry geometry = disk(255, 63, 1024);
  uint8_t sector[kSectorSize];
  for (size_t i = 0; i < kSectorSize; ++i) sector[i] = static_cast<uint8_t>(i * 7 + 1);
  uint8_t before[kSectorSize];
  memcpy(before, sector, sizeof sector);
  PartitionTable table;
  std::string error;
  ASSERT_TRUE(layOutTable(parse("0,2,83,*\n2,1022,83,-\n"), geometry, table, error));
  writeTable(table, geometry, sector);

  EXPECT_EQ(memcmp(sector, before, kBootCodeSize), 0) << "bytes 0 to 445 must stay";
  EXPECT_TRUE(hasSignature(sector));
  const uint8_t first[16] = {0x80, 1, 1, 0, 0x83, 254, 63, 1, 63, 0, 0, 0, 0x43, 0x7d, 0, 0};
  EXPECT_EQ(memcmp(sector + 446, first, 16), 0);
  RawEntry second = readEntry(sector, 1);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.type, 0x83);
  EXPECT_EQ(second.start, 2u * 16065);
  EXPECT_EQ(second.count, 1022u * 16065);
  EXPECT_EQ(second.first.cylinder, 2u);
  EXPECT_EQ(second.last.cylinder, 1023u);
  EXPECT_EQ(second.last.head, 254u);
  EXPECT_EQ(second.last.sector, 63u);
  for (size_t i = 446 + 32; i < 510; ++i) EXPECT_EQ(sector[i], 0) << "empty slots are zero";
}

}  // namespace
