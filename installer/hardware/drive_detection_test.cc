// Drive detection against canned listings of the partitioning tool, and the
// search with its twenty waits through a fake sleeper.
#include "hardware/drive_detection.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "hardware/drive_listing.h"
#include "output_capture.h"

namespace {

// Reads `text` as the tool's output would be read. Returns the number of
// entries recorded and, in `unread`, what was left in the stream.
int readListing(const std::string& text, DriveInfo* table, std::string* unread = nullptr) {
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  int recorded = readDriveListing(stream, table, kDriveTableSize);
  if (unread != nullptr) {
    unread->clear();
    int c;
    while ((c = getc(stream)) != EOF) unread->push_back(static_cast<char>(c));
  }
  fclose(stream);
  return recorded;
}

std::string line(const std::string& device, unsigned cylinders, unsigned heads = 255,
                 unsigned sectors = 63) {
  return device + ": " + std::to_string(cylinders) + " cylinders, " + std::to_string(heads) +
         " heads, " + std::to_string(sectors) + " sectors/track\n";
}

TEST(GeometryLine, TheToolsLineAndLinesThatDoNotParse) {
  GeometryLine parsed;
  ASSERT_TRUE(parseGeometryLine("/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track\n", parsed));
  EXPECT_STREQ(parsed.device, "/dev/hda");
  EXPECT_EQ(parsed.cylinders, 1024u);
  EXPECT_EQ(parsed.heads, 255u);
  EXPECT_EQ(parsed.sectorsPerTrack, 63u);
  ASSERT_TRUE(parseGeometryLine("/dev/sdb 7 c 16 h 32", parsed)) << "the colon is optional";
  EXPECT_STREQ(parsed.device, "/dev/sdb");
  EXPECT_EQ(parsed.sectorsPerTrack, 32u);

  for (const char* bad : {"sda: 1024 cylinders, 255 heads, 63 sectors/track",
                          " /dev/sda: 1024 cylinders, 255 heads, 63 sectors/track",
                          "/dev/sdc: No medium found",
                          "/dev/sdd: 1024 cylinders, 255 heads",
                          "/dev/sde: cylinders, 255 heads, 63 sectors/track",
                          "/dev/sdf:1024 cylinders, 255 heads, 63 sectors/track", "/dev/", ""}) {
    EXPECT_FALSE(parseGeometryLine(bad, parsed)) << bad;
  }
}

TEST(GeometryLine, DeviceWordLongerThanTheFieldIsRefusedNotOverflowed) {
  GeometryLine parsed;
  std::string longest = "/dev/" + std::string(DriveInfo::kDeviceSize - 6, 'x');  // 31 characters
  ASSERT_TRUE(parseGeometryLine((longest + ": 10 cylinders, 16 heads, 63 s").c_str(), parsed));
  EXPECT_EQ(std::string(parsed.device), longest);
  ASSERT_TRUE(parseGeometryLine((longest + " 10 cylinders, 16 heads, 63 s").c_str(), parsed));

  const std::string tooLong = longest + "y";
  EXPECT_FALSE(parseGeometryLine((tooLong + ": 10 cylinders, 16 heads, 63 s").c_str(), parsed));
  // Far longer than the field and, for a scanner that cuts the word, ending
  // in digits that would read as counts.
  std::string hostile = "/dev/" + std::string(90, 'z') + "1 2 x 3 x 4";
  EXPECT_FALSE(parseGeometryLine(hostile.c_str(), parsed));

  DriveInfo table[kDriveTableSize];
  EXPECT_EQ(readListing(tooLong + ": 10 cylinders, 16 heads, 63 s\n" + line("/dev/hdb", 20), table), 1);
  EXPECT_STREQ(table[0].device, "/dev/hdb");
}

TEST(DriveListing, SixDisksRecordTheFirstFourAndTheRestIsNotRead) {
  std::string text;
  for (const char* disk : {"/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde", "/dev/sdf"}) {
    text += line(disk, 1000);
  }
  DriveInfo table[kDriveTableSize];
  std::string unread;
  EXPECT_EQ(readListing(text, table, &unread), 4);
  EXPECT_STREQ(table[0].device, "/dev/sda");
  EXPECT_STREQ(table[3].device, "/dev/sdd");
  EXPECT_EQ(unread, line("/dev/sde", 1000) + line("/dev/sdf", 1000));
}

TEST(DriveListing, UnusableLinesAreSkippedAndUnreachedEntriesKeepTheirContents) {
  DriveInfo table[kDriveTableSize];
  ASSERT_TRUE(table[2].setDevice("/dev/hdc"));
  table[2].setGeometry(555, 1008 * 512);
  std::string overlong = "/dev/sdx: 5 cylinders, 16 heads, 63 sectors/track" + std::string(200, ' ');
  std::string text = "\n" "Disk /dev/sdz: 100 cylinders, 16 heads, 63 sectors/track\n" +
                     line("/dev/hda", 1023) + "/dev/hdb: unable to open\n" + overlong +
                     // the overlong line's tail must not count as a line of its own
                     "/dev/sdw: 9 cylinders, 16 heads, 63 sectors/track\n";
  EXPECT_EQ(readListing(text, table), 2);
  EXPECT_STREQ(table[0].device, "/dev/hda");
  EXPECT_STREQ(table[1].device, "/dev/sdx");
  EXPECT_STREQ(table[2].device, "/dev/hdc");
  EXPECT_EQ(table[2].cylinders, 555u);

  overlong = "/dev/sdv: 5 cylinders, 16 heads, 63 sectors/track" + std::string(100, ' ') +
             line("/dev/sdu", 7);
  EXPECT_EQ(readListing(overlong, table), 1);
  EXPECT_STREQ(table[0].device, "/dev/sdv");
  EXPECT_EQ(readListing("", table), 0);
  EXPECT_EQ(readListing("no disks here\n", table), 0);
}

TEST(DriveListing, SizesAndFlagsAtThe1024CylinderAnd40MiBBoundaries) {
  DriveInfo table[kDriveTableSize];
  ASSERT_EQ(readListing(line("/dev/hda", 1023) + line("/dev/hdb", 1024) +
                            line("/dev/hdc", 1023, 16, 63) + line("/dev/hdd", 80, 16, 63),
                        table),
            4);
  EXPECT_EQ(table[0].cylinderBytes, 8225280u);
  EXPECT_FALSE(table[0].over1024Cylinders);
  EXPECT_TRUE(table[1].over1024Cylinders);
  EXPECT_EQ(table[2].cylinderBytes, 516096u);
  EXPECT_TRUE(table[2].over40MiB);  // 527,966,208 bytes
  EXPECT_FALSE(table[2].over1024Cylinders);
  EXPECT_FALSE(table[3].over40MiB);  // 41,287,680 bytes
  ASSERT_EQ(readListing(line("/dev/sda", 80, 16, 64) + line("/dev/sdb", 81, 16, 64), table), 2);
  EXPECT_FALSE(table[0].over40MiB) << "exactly 40 MiB is not over";
  EXPECT_TRUE(table[1].over40MiB);
}

TEST(DescribeDrive, TheTwelveKnownPathsAndAnyOtherUnchanged) {
  const std::vector<std::string> paths = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                          "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
                                          "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh"};
  size_t count = 0;
  while (knownDrivePaths[count] != nullptr) ++count;
  ASSERT_EQ(count, paths.size());
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(knownDrivePaths[i], paths[i]);

  EXPECT_STREQ(describeDrive("/dev/hda"), "IDE Primary master (disk C)");
  EXPECT_STREQ(describeDrive("/dev/hdb"), "IDE Primary slave (disk D)");
  EXPECT_STREQ(describeDrive("/dev/hdc"), "IDE Secondary master (disk E)");
  EXPECT_STREQ(describeDrive("/dev/hdd"), "IDE Secondary slave (disk F)");
  for (int n = 1; n <= 8; ++n) {
    std::string device = "/dev/sd" + std::string(1, static_cast<char>('a' + n - 1));
    EXPECT_EQ(describeDrive(device.c_str()), "SATA " + std::to_string(n));
  }
  for (const char* other : {"/dev/sdi", "/dev/sda1", "/dev/vda", "/dev/hda ", ""}) {
    EXPECT_STREQ(describeDrive(other), other);
  }
}

// A scan that finds nothing until its `firstSuccess`-th call (1-based; 0:
// never) and then returns its table.
struct ScriptedScan {
  int firstSuccess = 0;
  int calls = 0;
  DriveInfo table[kDriveTableSize];
  DriveInfo* operator()() {
    ++calls;
    return firstSuccess != 0 && calls >= firstSuccess ? table : nullptr;
  }
};

struct CountingSleeper : Sleeper {
  std::vector<unsigned> waits;
  void sleepSeconds(unsigned seconds) override { waits.push_back(seconds); }
};

// The ticker prints a dot for every real second; these searches take none,
// but a loaded machine may stall: dots are counted in the sandbox test.
std::string withoutDots(const std::string& output) {
  return std::regex_replace(output, std::regex(R"(harddrives\.\.\.\.*)"), "harddrives...");
}

std::string search(DriveInfo& target, ScriptedScan& scan, CountingSleeper& sleeper, bool* found) {
  return withoutDots(captureStdout([&] {
    *found = findHardDriveWith(target, [&scan] { return scan(); }, sleeper);
  }));
}

TEST(FindHardDrive, FirstDiskOfTheFirstScanIsChosenAndAnnounced) {
  ScriptedScan scan;
  scan.firstSuccess = 1;
  ASSERT_EQ(readListing(line("/dev/sda", 1024) + line("/dev/sdb", 2000) + line("/dev/hda", 10) +
                            line("/dev/hdb", 10) + line("/dev/hdc", 10) + line("/dev/hdd", 10),
                        scan.table),
            4);
  CountingSleeper sleeper;
  DriveInfo target;
  bool found = false;
  EXPECT_EQ(search(target, scan, sleeper, &found),
            "\nLooking for harddrives...\n\nFound harddrive as SATA 1\n");
  EXPECT_TRUE(found);
  EXPECT_EQ(scan.calls, 1);
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_STREQ(target.device, "/dev/sda");
  EXPECT_EQ(target.cylinders, 1024u);
  EXPECT_EQ(target.cylinderBytes, 8225280u);
  EXPECT_TRUE(target.over1024Cylinders);
  EXPECT_TRUE(target.over40MiB);
}

TEST(FindHardDrive, DiskAppearingAtTheFourthScanAfterThreeOneSecondWaits) {
  ScriptedScan scan;
  scan.firstSuccess = 4;
  ASSERT_EQ(readListing(line("/dev/sdi", 500), scan.table), 1);
  CountingSleeper sleeper;
  DriveInfo target;
  bool found = false;
  EXPECT_EQ(search(target, scan, sleeper, &found),
            "\nLooking for harddrives...\n\nFound harddrive as /dev/sdi\n");
  EXPECT_TRUE(found);
  EXPECT_EQ(scan.calls, 4);
  EXPECT_EQ(sleeper.waits, (std::vector<unsigned>{1, 1, 1}));
}

TEST(FindHardDrive, NoDiskAfterTwentyScansAndTwentyWaitsIsFatal) {
  ScriptedScan scan;
  CountingSleeper sleeper;
  DriveInfo target;
  bool found = true;
  EXPECT_EQ(search(target, scan, sleeper, &found),
            "\nLooking for harddrives...\n\nFATAL ERROR: no harddrives found\n");
  EXPECT_FALSE(found);
  EXPECT_EQ(scan.calls, 20);
  EXPECT_EQ(sleeper.waits, std::vector<unsigned>(20, 1)) << "the twentieth failure waits too";
  EXPECT_STREQ(target.device, "");
  EXPECT_EQ(target.cylinders, 0u);
}

void ignoreTick(int) {}

TEST(SystemSleeper, SleepsTheWholeSecondThroughInterruptingSignals) {
  struct sigaction tick {}, previous {};
  tick.sa_handler = ignoreTick;  // no SA_RESTART: every tick interrupts the sleep
  sigemptyset(&tick.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &tick, &previous), 0);
  itimerval every100ms{{0, 100000}, {0, 100000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every100ms, nullptr), 0);
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  systemSleeper().sleepSeconds(1);
  clock_gettime(CLOCK_MONOTONIC, &end);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  double elapsed = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  EXPECT_GE(elapsed, 1.0) << "a lower bound only: the sleep must not end at the first signal";
}

}  // namespace
