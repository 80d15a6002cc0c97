// The tool as a whole on image files: what it writes is read back by
// util-linux (sfdisk --dump for starts, sizes, types and flags; fdisk's
// expert listing for the CHS fields), and bad input must leave the image
// exactly as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kWideCylinder = 255 * 63 * 512;    // bytes
constexpr uint64_t kNarrowCylinder = 16 * 63 * 512;

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every test runs with the host build and with the static i386 binary that
// goes on boot media (32-bit offsets would break it past 2 GiB).
class ImageTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sfdisk-image.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = dir_ + "/disk.img";
  }
  void TearDown() override { (void)!system(("rm -rf " + dir_).c_str()); }

  // Runs a shell command line with `input` on its standard input.
  Outcome shell(const std::string& command, const std::string& input = "") {
    std::ofstream(dir_ + "/in", std::ios::binary) << input;
    std::string line = command + " <" + dir_ + "/in >" + dir_ + "/out 2>" + dir_ + "/err";
    int status = system(line.c_str());
    Outcome run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(dir_ + "/out");
    run.err = slurp(dir_ + "/err");
    return run;
  }
  Outcome tool(const std::string& arguments, const std::string& input = "") {
    return shell(GetParam() + " " + arguments, input);
  }
  void blankImage(uint64_t bytes) {
    std::ofstream(image_).close();
    ASSERT_EQ(truncate(image_.c_str(), static_cast<off_t>(bytes)), 0);
  }
  // The first `bytes` of the image (never the whole: images are sparse and large).
  std::string head(size_t bytes) {
    std::ifstream in(image_, std::ios::binary);
    std::string data(bytes, '\0');
    in.read(&data[0], static_cast<std::streamsize>(bytes));
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
  }

  // util-linux's view: one "start size type [bootable]" per partition.
  std::vector<std::string> utilLinuxPartitions() {
    Outcome run = shell("sfdisk --dump " + image_);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> partitions;
    std::regex line(R"(: start=\s*(\d+), size=\s*(\d+), type=(\w+)(, bootable)?)");
    std::istringstream lines(run.out);
    std::string text;
    while (std::getline(lines, text)) {
      std::smatch match;
      if (!std::regex_search(text, match, line)) continue;
      partitions.push_back(match[1].str() + " " + match[2].str() + " " + match[3].str() +
                           (match[4].matched ? " boot" : ""));
    }
    return partitions;
  }
  // fdisk's expert listing: "first-C/H/S last-C/H/S" per partition.
  std::vector<std::string> utilLinuxChs() {
    Outcome run = shell("fdisk " + image_, "x\np\nq\n");
    std::vector<std::string> chs;
    std::regex line(R"((\d+/\d+/\d+)\s+(\d+/\d+/\d+))");
    std::istringstream lines(run.out);
    std::string text;
    while (std::getline(lines, text)) {
      std::smatch match;
      if (text.rfind(image_, 0) == 0 && std::regex_search(text, match, line)) {
        chs.push_back(match[1].str() + " " + match[2].str());
      }
    }
    return chs;
  }

  std::string dir_, image_;
};

using Strings = std::vector<std::string>;

TEST_P(ImageTest, GeometryOfAnImageCountsWholeCylinders) {
  blankImage(1024 * kWideCylinder + 4096);
  Outcome run = tool("-g " + image_);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, image_ + ": 1024 cylinders, 255 heads, 63 sectors/track\n");
  run = tool("-g -H 16 -S 63 " + image_);
  EXPECT_EQ(run.out, image_ + ": 16320 cylinders, 16 heads, 63 sectors/track\n");
  run = tool("-g " + image_ + " " + dir_ + "/missing");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, image_ + ": 1024 cylinders, 255 heads, 63 sectors/track\n");
  EXPECT_NE(run.err.find("cannot open " + dir_ + "/missing: No such file"), std::string::npos);
}

TEST_P(ImageTest, SingleLayoutUpTo1023CylindersIn255And16HeadGeometries) {
  blankImage(1023 * kWideCylinder);
  Outcome run = tool("-q -uC " + image_, "0,1023,83,*\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "") << "-q prints nothing";
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 16434432 83 boot"}));
  EXPECT_EQ(utilLinuxChs(), (Strings{"0/1/1 1022/254/63"}));

  blankImage(1023 * kNarrowCylinder);  // 527,966,208 bytes
  run = tool("-q -uC -H 16 -S 63 " + image_, "0,1023,83,*\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 1031121 83 boot"}));
}

TEST_P(ImageTest, TwoPartitionLayoutAt1024AndMoreCylinders) {
  blankImage(1024 * kWideCylinder);  // a sparse 8.4 GB image
  ASSERT_EQ(tool("-q -uC " + image_, "0,2,83,*\n2,1022,83,-\n").exitCode, 0);
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 32067 83 boot", "32130 16418430 83"}));
  EXPECT_EQ(utilLinuxChs(), (Strings{"0/1/1 1/254/63", "2/0/1 1023/254/63"}));

  blankImage(1500 * kWideCylinder);
  ASSERT_EQ(tool("-q -uC " + image_, "0,2,83,*\n2,1498,83,-\n").exitCode, 0);
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 32067 83 boot", "32130 24065370 83"}));
  EXPECT_EQ(utilLinuxChs(), (Strings{"0/1/1 1/254/63", "2/0/1 1023/254/63"}));

  // 16 heads: a 21-cylinder boot partition; past cylinder 1023 the CHS
  // fields hold the marker 1023/254/63, not a position of this geometry.
  blankImage(2000 * kNarrowCylinder);
  ASSERT_EQ(tool("-q -uC -H 16 -S 63 " + image_, "0,21,83,*\n21,1979,83,-\n").exitCode, 0);
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 21105 83 boot", "21168 1994832 83"}));
  EXPECT_EQ(utilLinuxChs(), (Strings{"0/1/1 20/15/63", "21/0/1 1023/254/63"}));
}

TEST_P(ImageTest, OldFourSlotTableIsReplacedAndTheBootCodeKept) {
  blankImage(1023 * kWideCylinder);
  ASSERT_EQ(shell("sfdisk -q " + image_, "2048,100M,83\n,100M,82\n,100M,83\n,,c\n").exitCode, 0);
  ASSERT_EQ(utilLinuxPartitions().size(), 4u);
  // Boot code of an old installation in bytes 0 to 445.
  ASSERT_EQ(shell("dd if=/dev/urandom of=" + image_ + " bs=446 count=1 conv=notrunc").exitCode, 0);
  const std::string bootCode = head(446);

  Outcome dump = tool("-d -uC " + image_);
  EXPECT_EQ(dump.exitCode, 0);
  int slotLines = 0;
  for (size_t at = 0; (at = dump.out.find("\n" + image_, at)) != std::string::npos; ++at) {
    ++slotLines;
  }
  EXPECT_EQ(slotLines, 4);

  Outcome run = tool("-uC " + image_, "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find(image_ + "1 : start=       63, size= 16434432, Id=83, bootable"),
            std::string::npos)
      << "without -q the new table is shown:\n" << run.out;
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 16434432 83 boot"}));
  EXPECT_EQ(head(446), bootCode);
}

TEST_P(ImageTest, OldTableWithLogicalPartitionsIsListedSlotBySlotAndReplaced) {
  blankImage(1023 * kWideCylinder);
  // The logical partitions lie past 3 GiB.
  ASSERT_EQ(shell("sfdisk -q " + image_, "2048,3G,83\n,,5\n,50M,83\n,50M,82\n").exitCode, 0);
  Strings old = utilLinuxPartitions();
  ASSERT_EQ(old.size(), 4u);  // util-linux lists only what exists: 1, 2, 5, 6

  Outcome dump = tool("-d " + image_);
  for (int slot = 1; slot <= 6; ++slot) {
    EXPECT_NE(dump.out.find(image_ + std::to_string(slot) + " : start="), std::string::npos)
        << slot << "\n" << dump.out;
  }
  // Our dump agrees with util-linux on what exists.
  std::regex ours(R"(: start=\s*(\d+), size=\s*(\d+), Id=\s*(\w+))");
  Strings listed;
  std::istringstream lines(dump.out);
  std::string text;
  while (std::getline(lines, text)) {
    std::smatch match;
    if (std::regex_search(text, match, ours) && match[2] != "0") {
      listed.push_back(match[1].str() + " " + match[2].str() + " " + match[3].str());
    }
  }
  EXPECT_EQ(listed, (Strings{"2048 6291456 83", "6293504 10140991 5", "6295552 102400 83",
                             "6400000 102400 82"}));

  // The installer empties every slot the old dump listed, logical ones too.
  Outcome run = tool("-q -uC " + image_, "0,2,83,*\n2,1021,83,-\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 32067 83 boot", "32130 16402365 83"}));
}

TEST_P(ImageTest, BlankDiskGetsATableAndZeroBootCode) {
  blankImage(100 * kWideCylinder);
  Outcome dump = tool("-d -uC " + image_);
  EXPECT_EQ(dump.out.find("\n" + image_), std::string::npos) << "no slot lines on a blank disk";
  ASSERT_EQ(tool("-q -uC " + image_, "0,100,83,*\n").exitCode, 0);
  std::string sector = head(512);
  EXPECT_EQ(sector.substr(0, 446), std::string(446, '\0'));
  EXPECT_EQ(sector.substr(510), "\x55\xaa");
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"63 1606437 83 boot"}));
}

TEST_P(ImageTest, BadInputLeavesTheDiskUntouched) {
  blankImage(1023 * kWideCylinder);
  ASSERT_EQ(shell("sfdisk -q " + image_, "2048,100M,83\n,100M,82\n").exitCode, 0);
  const std::string before = head(1 << 20);
  const char* const badInputs[] = {
      "0,1023,83,*\nrubbish\n",          // malformed line
      "0,1024,83,*\n",                   // past the end of the disk
      "0,10,83,*\n5,10,83,-\n",          // overlap
      "0,1,83\n1,1,83\n2,1,83\n3,1,83\n4,1,83\n",  // five primaries
      "0,10,5\n",                        // extended
      "0,10,83,yes\n",                   // bad flag
  };
  for (const char* input : badInputs) {
    Outcome run = tool("-q -uC " + image_, input);
    EXPECT_EQ(run.exitCode, 1) << input;
    EXPECT_NE(run.err.find("nothing written"), std::string::npos) << input << run.err;
    EXPECT_TRUE(head(1 << 20) == before) << "the disk changed after: " << input;
  }
  Outcome run = tool("-q -uS " + image_, "0,10,83\n");
  EXPECT_EQ(run.exitCode, 2);  // a usage error
  EXPECT_NE(run.err.find("unsupported unit"), std::string::npos);
  EXPECT_TRUE(head(1 << 20) == before);
  EXPECT_EQ(utilLinuxPartitions(), (Strings{"2048 204800 83", "206848 204800 82"}));
}

INSTANTIATE_TEST_SUITE_P(Builds, ImageTest,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/sfdisk",
                                           KORVANEL_I386_DIR "/bin/sfdisk"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
