// The tool on loop devices inside the sandbox: after a table is written the
// kernel's partitions must match it at once (mke2fs runs right after), stale
// ones must go, and a partition in use must be kept where it already matches
// and reported where it does not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr uint64_t kCylinderSectors = 255 * 63;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

// With the host build and with the static i386 binary of boot media, whose
// ioctls take the kernel's 32-bit paths.
class LoopDisk : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const char* scratch = getenv("KORVANEL_SCRATCH");
    ASSERT_NE(scratch, nullptr) << "runs only inside the test sandbox";
    dir_ = scratch;
    image_ = dir_ + "/loop-disk.img";
    ASSERT_EQ(shell("rm -f " + image_ + " && truncate -s " +
                    std::to_string(40 * kCylinderSectors * 512) + " " + image_)
                  .exitCode,
              0);
    attach(/*partitionScan=*/false);
  }
  void TearDown() override {
    for (int fd : held_) close(fd);
    detach();
  }

  // With partition scanning the whole-disk re-read works (and finds nothing:
  // this kernel has no DOS parser); without it the kernel refuses the re-read.
  void attach(bool partitionScan) {
    Outcome attached = shell(std::string("losetup ") + (partitionScan ? "-P " : "") +
                             "--find --show " + image_);
    ASSERT_EQ(attached.exitCode, 0) << attached.err;
    device_ = attached.out.substr(0, attached.out.find('\n'));
    name_ = device_.substr(device_.rfind('/') + 1);
  }
  void detach() {
    if (name_.empty()) return;
    // Partitions first: those added by BLKPG outlive the loop device.
    (void)shell("for p in /sys/block/" + name_ + "/" + name_ + "p*; do [ -e \"$p\" ] && delpart " +
                device_ + " \"${p##*p}\"; done; losetup -d " + device_);
    name_.clear();
  }

  Outcome shell(const std::string& command, const std::string& input = "") {
    std::ofstream(dir_ + "/in", std::ios::binary) << input;
    int status = system((command + " <" + dir_ + "/in >" + dir_ + "/out 2>" + dir_ + "/err").c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = slurp(dir_ + "/out");
    outcome.err = slurp(dir_ + "/err");
    return outcome;
  }
  Outcome writeTable(const std::string& lines) { return shell(GetParam() + " -q -uC " + device_, lines); }

  // The kernel's partition N as "start size", or "absent".
  std::string kernelPartition(int number) {
    std::string dir = "/sys/block/" + name_ + "/" + name_ + "p" + std::to_string(number);
    if (access(dir.c_str(), F_OK) != 0) return "absent";
    auto trimmed = [](std::string text) { return text.substr(0, text.find('\n')); };
    return trimmed(slurp(dir + "/start")) + " " + trimmed(slurp(dir + "/size"));
  }
  std::string partitionDevice(int number) { return device_ + "p" + std::to_string(number); }
  void holdOpen(int number) {
    int fd = open(partitionDevice(number).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << partitionDevice(number);
    held_.push_back(fd);
  }

  std::string dir_, image_, device_, name_;
  std::vector<int> held_;
};

std::string extent(uint64_t firstCylinder, uint64_t cylinders) {
  uint64_t first = firstCylinder == 0 ? 63 : firstCylinder * kCylinderSectors;
  return std::to_string(first) + " " +
         std::to_string((firstCylinder + cylinders) * kCylinderSectors - first);
}

TEST_P(LoopDisk, NewPartitionsExistAtOnceAndTakeAFileSystem) {
  Outcome run = writeTable("0,2,83,*\n2,38,83,-\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(kernelPartition(1), extent(0, 2));
  EXPECT_EQ(kernelPartition(2), extent(2, 38));
  EXPECT_EQ(kernelPartition(3), "absent");

  ASSERT_EQ(shell("mke2fs -q -F " + partitionDevice(2)).exitCode, 0);
  Outcome header = shell("dumpe2fs -h " + partitionDevice(2));
  ASSERT_EQ(header.exitCode, 0) << header.err;
  uint64_t blocks = 0, blockSize = 0;
  std::istringstream lines(header.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Block count:", 0) == 0) blocks = std::stoull(line.substr(12));
    if (line.rfind("Block size:", 0) == 0) blockSize = std::stoull(line.substr(11));
  }
  ASSERT_GT(blockSize, 0u);
  // mke2fs rounds down to whole pages; anything smaller means a stale size.
  const uint64_t partitionBytes = 38 * kCylinderSectors * 512;
  EXPECT_LE(blocks * blockSize, partitionBytes);
  EXPECT_GT(blocks * blockSize, partitionBytes - 4096) << "the file system fills partition 2";
}

TEST_P(LoopDisk, RewrittenTableRemovesStaleAndResizesChangedPartitions) {
  Outcome first = writeTable("0,5,83,*\n5,5,83,-\n10,5,82,-\n");
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ASSERT_EQ(kernelPartition(3), extent(10, 5));
  Outcome run = writeTable("0,40,83,*\n0,0,0\n0,0,0\n0,0,0\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(kernelPartition(1), extent(0, 40));
  EXPECT_EQ(kernelPartition(2), "absent");
  EXPECT_EQ(kernelPartition(3), "absent");
}

TEST_P(LoopDisk, PartitionInUseIsKeptWhereItMatchesAndReportedWhereItDoesNot) {
  ASSERT_EQ(writeTable("0,2,83,*\n5,20,83,-\n").exitCode, 0);
  holdOpen(2);  // the whole-disk re-read is refused from now on

  Outcome run = writeTable("0,5,83,*\n5,20,83,-\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(kernelPartition(1), extent(0, 5));
  EXPECT_EQ(kernelPartition(2), extent(5, 20));

  run = writeTable("0,5,83,*\n6,20,83,-\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("partition 2 of " + device_ + ": Device or resource busy"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("restart before using the disk"), std::string::npos) << run.err;
  EXPECT_EQ(kernelPartition(2), extent(5, 20)) << "the kernel keeps the partition in use";
  // The table itself is on the disk: util-linux reads the new one.
  Outcome dump = shell("sfdisk --dump " + device_);
  EXPECT_NE(dump.out.find("start=       96390, size=      321300"), std::string::npos) << dump.out;
}

TEST_P(LoopDisk, WithoutSysTheKernelsPartitionsAreStillMadeRight) {
  // A boot medium's initramfs has no /sys: the tool cannot see the kernel's
  // view and must make it right blindly.
  for (bool partitionScan : {false, true}) {
    SCOPED_TRACE(partitionScan ? "partition scan" : "no partition scan");
    detach();
    attach(partitionScan);
    auto blindWrite = [&](const std::string& lines) {
      return shell("unshare --mount sh -c 'mount -t tmpfs none /sys && exec " + GetParam() +
                       " -q -uC " + device_ + "'",
                   lines);
    };
    Outcome run = blindWrite("0,5,83,*\n5,5,83,-\n10,5,82,-\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(kernelPartition(1), extent(0, 5));
    EXPECT_EQ(kernelPartition(3), extent(10, 5));
    run = blindWrite("0,2,83,*\n2,38,83,-\n0,0,0\n0,0,0\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(kernelPartition(1), extent(0, 2));
    EXPECT_EQ(kernelPartition(2), extent(2, 38));
    EXPECT_EQ(kernelPartition(3), "absent");
  }
}

// The listing without a device is not run here: it would open the
// machine's own disks. Which disks it takes is tested on canned
// /proc/partitions contents.
TEST_P(LoopDisk, GeometryOfALoopDevice) {
  Outcome run = shell(GetParam() + " -g " + device_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, device_ + ": 40 cylinders, 255 heads, 63 sectors/track\n");
}

INSTANTIATE_TEST_SUITE_P(Builds, LoopDisk,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/sfdisk",
                                           KORVANEL_I386_DIR "/bin/sfdisk"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
