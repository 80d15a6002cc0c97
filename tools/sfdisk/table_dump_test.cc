// Reading tables back (primary and logical slots), naming partitions, the
// list of whole disks, the command line and the plan for the kernel's view.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "disk_list.h"
#include "kernel_partitions.h"
#include "options.h"
#include "table_dump.h"

namespace {

// A disk of a few scattered sectors; every other sector reads as zeros.
struct SparseDisk {
  std::map<uint64_t, std::vector<uint8_t>> sectors;
  uint64_t totalSectors = 1 << 20;

  uint8_t* sector(uint64_t number) {
    auto& bytes = sectors[number];
    bytes.resize(kSectorSize);
    return bytes.data();
  }
  void entry(uint64_t number, int slot, uint8_t status, uint8_t type, uint32_t start,
             uint32_t count) {
    uint8_t* at = sector(number) + kBootCodeSize + slot * kEntrySize;
    at[0] = status;
    at[4] = type;
    memcpy(at + 8, &start, 4);  // the build machines are little-endian, as the format
    memcpy(at + 12, &count, 4);
    sector(number)[510] = 0x55;
    sector(number)[511] = 0xaa;
  }
  SectorReader reader() {
    return [this](uint64_t number, uint8_t* buffer) {
      if (number >= totalSectors) return false;
      auto found = sectors.find(number);
      if (found == sectors.end()) {
        memset(buffer, 0, kSectorSize);
      } else {
        memcpy(buffer, found->second.data(), kSectorSize);
      }
      return true;
    };
  }
};

std::string dump(SparseDisk& disk) {
  std::vector<SlotListing> slots;
  EXPECT_TRUE(listSlots(disk.reader(), disk.totalSectors, slots));
  return formatDump("/dev/hda", slots);
}

const char* const kHeader = "# partition table of /dev/hda\nunit: sectors\n\n";

TEST(TableDump, BlankDiskListsNoSlotAndATableListsAllFour) {
  SparseDisk disk;
  EXPECT_EQ(dump(disk), kHeader);
  disk.entry(0, 0, 0x80, 0x83, 63, 32067);
  disk.entry(0, 1, 0, 0x83, 32130, 1000);
  EXPECT_EQ(dump(disk), std::string(kHeader) +
                            "/dev/hda1 : start=       63, size=    32067, Id=83, bootable\n"
                            "/dev/hda2 : start=    32130, size=     1000, Id=83\n"
                            "/dev/hda3 : start=        0, size=        0, Id= 0\n"
                            "/dev/hda4 : start=        0, size=        0, Id= 0\n");
}

TEST(TableDump, LogicalSlotsFollowTheExtendedChainAndAnEndlessChainEnds) {
  SparseDisk disk;
  disk.entry(0, 0, 0, 0x83, 63, 1000);
  disk.entry(0, 1, 0, 0x05, 2000, 10000);
  disk.entry(2000, 0, 0, 0x83, 63, 500);           // hda5 at 2063
  disk.entry(2000, 1, 0, 0x05, 3000, 4000);        // next record at 5000
  disk.entry(5000, 0, 0, 0x82, 63, 700);           // hda6 at 5063
  std::string text = dump(disk);
  EXPECT_NE(text.find("/dev/hda5 : start=     2063, size=      500, Id=83\n"), std::string::npos);
  EXPECT_NE(text.find("/dev/hda6 : start=     5063, size=      700, Id=82\n"), std::string::npos);
  EXPECT_EQ(text.find("/dev/hda7"), std::string::npos);

  disk.entry(5000, 1, 0, 0x05, 0, 4000);  // points back at the first record
  text = dump(disk);
  EXPECT_EQ(text.find("/dev/hda7"), std::string::npos) << text;

  SparseDisk unreadable;
  unreadable.totalSectors = 0;
  std::vector<SlotListing> slots;
  EXPECT_FALSE(listSlots(unreadable.reader(), 0, slots));
}

TEST(TableDump, PartitionPathsAndWholeDisksOfTheKernelsList) {
  EXPECT_EQ(partitionPath("/dev/sda", 1), "/dev/sda1");
  EXPECT_EQ(partitionPath("/dev/loop3", 2), "/dev/loop3p2");
  EXPECT_EQ(partitionPath("/dev/mmcblk0", 5), "/dev/mmcblk0p5");

  const char* procPartitions =
      "major minor  #blocks  name\n\n"
      "   7        0     102400 loop0\n"
      "   7        1      51200 loop0p1\n"
      " 254        0  268435456 vda\n"
      " 254        1     102400 vda1\n"
      "   8        0    8388608 sda\n"
      "   8        1    8388544 sda1\n"
      "   8       16    8388608 sdb\n"
      "   3        0    4194304 hda\n"
      "  11        0    1048575 sr0\n"
      "   2        0       1440 fd0\n"
      "   1        0      65536 ram0\n"
      " 251        0    4194304 zram0\n"
      " 253        0    1048576 dm-0\n"
      "   9        0    1048576 md0\n"
      " 179        0    7761920 mmcblk0\n"
      " 179        1    7757824 mmcblk0p1\n"
      "   8       33       4096 sdc1\n";
  EXPECT_EQ(wholeDiskNames(procPartitions),
            (std::vector<std::string>{"vda", "sda", "sdb", "hda", "mmcblk0"}));
}

std::string parseError(std::vector<const char*> args) {
  args.insert(args.begin(), "sfdisk");
  Options options;
  std::string error;
  return parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), options,
                      error)
             ? ""
             : error;
}

TEST(CommandLine, TheInstallersCallsAndWhatIsRefused) {
  std::vector<const char*> args = {"sfdisk", "-q", "-uC", "/dev/hda"};
  Options options;
  std::string error;
  ASSERT_TRUE(parseOptions(4, const_cast<char**>(args.data()), options, error)) << error;
  EXPECT_EQ(options.command, Options::Command::Write);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.devices, std::vector<std::string>{"/dev/hda"});

  args = {"sfdisk", "-d", "-u", "C", "/dev/sda", "-H", "16", "-S63"};
  ASSERT_TRUE(parseOptions(8, const_cast<char**>(args.data()), options, error)) << error;
  EXPECT_EQ(options.command, Options::Command::Dump);
  EXPECT_EQ(options.heads, 16u);
  EXPECT_EQ(options.sectorsPerTrack, 63u);

  args = {"sfdisk", "-g"};
  ASSERT_TRUE(parseOptions(2, const_cast<char**>(args.data()), options, error)) << error;
  EXPECT_EQ(options.command, Options::Command::Geometry);
  EXPECT_TRUE(options.devices.empty());

  EXPECT_NE(parseError({"-uS", "/dev/sda"}).find("unsupported unit"), std::string::npos);
  EXPECT_NE(parseError({"-uM", "/dev/sda"}).find("unsupported unit"), std::string::npos);
  EXPECT_NE(parseError({"-q", "-uC"}).find("exactly one device"), std::string::npos);
  EXPECT_NE(parseError({"-d", "/dev/sda", "/dev/sdb"}).find("exactly one"), std::string::npos);
  EXPECT_NE(parseError({"-x", "/dev/sda"}).find("unknown option"), std::string::npos);
  EXPECT_NE(parseError({"-gd"}).find("cannot be combined"), std::string::npos);
  EXPECT_NE(parseError({"-H", "256", "/dev/sda"}).find("1 to 255"), std::string::npos);
  EXPECT_NE(parseError({"-S", "64", "/dev/sda"}).find("1 to 63"), std::string::npos);
  EXPECT_NE(parseError({"-S", "0", "/dev/sda"}).find("1 to 63"), std::string::npos);
  EXPECT_NE(parseError({"/dev/sda", "-H"}).find("1 to 255"), std::string::npos);
}

TEST(KernelView, PlanTurnsWhatTheKernelHoldsIntoTheNewTable) {
  using State = KernelPartition::State;
  PartitionEntry wanted;
  wanted.type = 0x83;
  wanted.firstSector = 63;
  wanted.sectorCount = 1000;
  const PartitionEntry empty;
  const KernelPartition absent{State::Absent, 0, 0}, unknown{State::Unknown, 0, 0};
  const KernelPartition same{State::Present, 63, 1000}, moved{State::Present, 64, 1000},
      resized{State::Present, 63, 999};
  for (bool reread : {false, true}) {
    EXPECT_EQ(planPartitionStep(absent, empty, reread), PartitionStep::Nothing);
    EXPECT_EQ(planPartitionStep(absent, wanted, reread), PartitionStep::Add);
    EXPECT_EQ(planPartitionStep(same, wanted, reread), PartitionStep::Nothing);
    EXPECT_EQ(planPartitionStep(moved, wanted, reread), PartitionStep::DeleteThenAdd);
    EXPECT_EQ(planPartitionStep(resized, wanted, reread), PartitionStep::DeleteThenAdd);
    EXPECT_EQ(planPartitionStep(same, empty, reread), PartitionStep::Delete);
  }
  // Without /sys: after a good re-read the kernel holds what its parser saw
  // (or nothing); after a refused one, anything may be stale.
  EXPECT_EQ(planPartitionStep(unknown, wanted, true), PartitionStep::AddUnlessPresent);
  EXPECT_EQ(planPartitionStep(unknown, empty, true), PartitionStep::Nothing);
  EXPECT_EQ(planPartitionStep(unknown, wanted, false), PartitionStep::DeleteThenAdd);
  EXPECT_EQ(planPartitionStep(unknown, empty, false), PartitionStep::Delete);
}

}  // namespace
