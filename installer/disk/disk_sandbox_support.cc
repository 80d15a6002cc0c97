#include "disk_sandbox_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

namespace {

constexpr const char* kHostDev = "/run/hostdev";
constexpr int kMaxPartitions = 8;

[[noreturn]] void fatal(const std::string& what) {
  fprintf(stderr, "disk sandbox tests: %s: %s\n", what.c_str(), strerror(errno));
  abort();
}

void check(bool ok, const std::string& what) {
  if (!ok) fatal(what);
}

void link(const std::string& target, const std::string& name) {
  (void)unlink(name.c_str());
  check(symlink(target.c_str(), name.c_str()) == 0, "symlink " + name);
}

std::string scratchDirectory() {
  const char* scratch = getenv("KORVANEL_SCRATCH");
  if (scratch == nullptr) {
    fprintf(stderr, "disk sandbox tests: run me through tests/sandbox/sandbox\n");
    abort();
  }
  return scratch;
}

}  // namespace

void prepareSandboxDevices() {
  // Refuse anywhere but in a PID namespace of the sandbox's own: everything
  // here mounts.
  scratchDirectory();
  std::ifstream init("/proc/1/cmdline");
  std::string command((std::istreambuf_iterator<char>(init)), std::istreambuf_iterator<char>());
  if (command.find("sandbox-inner.sh") == std::string::npos) {
    fprintf(stderr, "disk sandbox tests: process 1 is not the sandbox's; refusing to go on\n");
    abort();
  }
  check(mkdir(kHostDev, 0755) == 0 || errno == EEXIST, "mkdir /run/hostdev");
  check(mount("/dev", kHostDev, nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind /dev");
  check(mount("devlinks", "/dev", "tmpfs", 0, "mode=755") == 0, "tmpfs on /dev");
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty", "ptmx", "pts",
                           "shm", "loop-control", "fd", "stdin", "stdout", "stderr"}) {
    link(std::string(kHostDev) + "/" + name, std::string("/dev/") + name);
  }
}

LoopDisk::LoopDisk(const std::string& name, uint32_t cylinders, const std::string& imageDirectory)
    : name_(name), cylinders_(cylinders) {
  image_ = (imageDirectory.empty() ? scratchDirectory() : imageDirectory) + "/" + name + ".img";
  int file = open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(file >= 0, "create " + image_);
  check(ftruncate(file, static_cast<off_t>(cylinders) * kLoopCylinderBytes) == 0, "size image");

  int control = open((std::string(kHostDev) + "/loop-control").c_str(), O_RDWR | O_CLOEXEC);
  check(control >= 0, "open loop-control");
  // Other tests on this machine take loop devices too: a device found free
  // may be gone by the time it is claimed.
  for (int attempt = 0;; ++attempt) {
    int number = ioctl(control, LOOP_CTL_GET_FREE);
    check(number >= 0, "LOOP_CTL_GET_FREE");
    loop_ = std::string(kHostDev) + "/loop" + std::to_string(number);
    int fd = -1;
    for (int wait = 0; wait < 100 && fd < 0; ++wait) {
      fd = open(loop_.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) usleep(10000);  // the node may still be on its way
    }
    check(fd >= 0, "open " + loop_);
    if (ioctl(fd, LOOP_SET_FD, file) == 0) {
      close(fd);
      break;
    }
    close(fd);
    check(errno == EBUSY && attempt < 20, "LOOP_SET_FD");
  }
  close(control);
  close(file);
  link(loop_, device());
  for (int n = 1; n <= kMaxPartitions; ++n) link(loop_ + "p" + std::to_string(n), partition(n));
}

LoopDisk::~LoopDisk() {
  (void)umount("/mnt/boot");
  (void)umount("/mnt");
  int fd = open(loop_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    for (int n = 1; n <= kMaxPartitions; ++n) {
      struct blkpg_partition part {};
      part.pno = n;
      struct blkpg_ioctl_arg arg {};
      arg.op = BLKPG_DEL_PARTITION;
      arg.datalen = sizeof part;
      arg.data = &part;
      (void)ioctl(fd, BLKPG, &arg);  // most do not exist
    }
    if (ioctl(fd, LOOP_CLR_FD) != 0) fprintf(stderr, "could not detach %s\n", loop_.c_str());
    close(fd);
  }
  unlink(device().c_str());
  for (int n = 1; n <= kMaxPartitions; ++n) unlink(partition(n).c_str());
  unlink(image_.c_str());
}

DriveInfo LoopDisk::drive() const {
  DriveInfo info;
  check(info.setDevice(device().c_str()), "device name");
  info.setGeometry(cylinders_, kLoopCylinderBytes);
  return info;
}

void LoopDisk::writeTable(const std::vector<Partition>& partitions) {
  uint8_t sector[512] = {};
  int fd = open(loop_.c_str(), O_RDWR | O_CLOEXEC);
  check(fd >= 0, "open " + loop_);
  for (size_t i = 0; i < partitions.size() && i < 4; ++i) {
    uint8_t* entry = sector + 446 + 16 * i;
    entry[0] = partitions[i].bootable ? 0x80 : 0x00;
    entry[4] = 0x83;
    uint32_t start = static_cast<uint32_t>(partitions[i].startSector);
    uint32_t size = static_cast<uint32_t>(partitions[i].sectors);
    memcpy(entry + 8, &start, 4);
    memcpy(entry + 12, &size, 4);
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
  check(pwrite(fd, sector, sizeof sector, 0) == 512, "write table");
  for (size_t i = 0; i < partitions.size(); ++i) {
    struct blkpg_partition part {};
    part.start = static_cast<long long>(partitions[i].startSector) * 512;
    part.length = static_cast<long long>(partitions[i].sectors) * 512;
    part.pno = static_cast<int>(i) + 1;
    struct blkpg_ioctl_arg arg {};
    arg.op = BLKPG_ADD_PARTITION;
    arg.datalen = sizeof part;
    arg.data = &part;
    check(ioctl(fd, BLKPG, &arg) == 0, "add partition");
  }
  close(fd);
  // The kernel creates the partition nodes on its own; wait for them.
  for (size_t i = 1; i <= partitions.size(); ++i) {
    for (int wait = 0; wait < 200 && access(partition(static_cast<int>(i)).c_str(), F_OK) != 0; ++wait) {
      usleep(10000);
    }
  }
}

LogConsole::LogConsole(const std::string& path) : path_(path) {
  (void)unlink(path_.c_str());
  check(mkfifo(path_.c_str(), 0600) == 0, "mkfifo " + path_);
  // Read and write: the FIFO always has a reader (children never block on
  // opening it) and never reports an end.
  fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  check(fd_ >= 0, "open " + path_);
  (void)fcntl(fd_, F_SETPIPE_SZ, 1 << 20);  // room for everything mke2fs says
}

LogConsole::~LogConsole() {
  close(fd_);
  unlink(path_.c_str());
}

std::string LogConsole::take() {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

std::vector<std::string> targetMounts() {
  std::vector<std::string> mounts;
  std::ifstream table("/proc/self/mounts");
  std::string source, target, type, rest;
  while (table >> source >> target >> type && std::getline(table, rest)) {
    if (target == "/mnt" || target.rfind("/mnt/", 0) == 0) {
      mounts.push_back(source + " " + target + " " + type);
    }
  }
  return mounts;
}

ToolStandIn::ToolStandIn(const std::string& path, const std::string& body) {
  path_ = path;
  saveOriginal();
  std::ofstream script(path_);
  script << "#!/bin/sh\n" << body << "\n";
  script.close();
  check(chmod(path_.c_str(), 0755) == 0, "chmod " + path_);
}

ToolStandIn ToolStandIn::copyOf(const std::string& path, const std::string& program) {
  ToolStandIn standIn;
  standIn.path_ = path;
  standIn.saveOriginal();
  int status;
  shell("cp '" + program + "' '" + path + "' && chmod 755 '" + path + "'", &status);
  check(status == 0, "copy " + program);
  return standIn;
}

ToolStandIn::ToolStandIn(ToolStandIn&& other) noexcept
    : path_(std::move(other.path_)), saved_(std::move(other.saved_)) {
  other.path_.clear();
}

void ToolStandIn::saveOriginal() {
  saved_ = path_ + ".original";  // same directory: a rename, not a copy
  if (access(saved_.c_str(), F_OK) != 0 && access(path_.c_str(), F_OK) == 0) {
    check(rename(path_.c_str(), saved_.c_str()) == 0, "save " + path_);
  } else {
    (void)unlink(path_.c_str());
  }
}

ToolStandIn::~ToolStandIn() {
  if (path_.empty()) return;
  (void)unlink(path_.c_str());
  if (access(saved_.c_str(), F_OK) == 0) {
    check(rename(saved_.c_str(), path_.c_str()) == 0, "restore " + path_);
  }
}

std::string partitioningTool() {
  std::string tool = KORVANEL_BINARY_DIR "/bin/sfdisk";
  return access(tool.c_str(), X_OK) == 0 ? tool : "";
}

std::string withoutDots(const std::string& output) {
  return std::regex_replace(output, std::regex("\\.\\.\\.\\.+"), "...");
}

std::string partitionTable(const LoopDisk& disk) {
  // The util-linux tool, wherever a test has put a stand-in for it.
  std::string tool = access("/sbin/sfdisk.original", X_OK) == 0 ? "/sbin/sfdisk.original" : "/sbin/sfdisk";
  return shell(tool + " --json '" + disk.device() +
               "' 2>/dev/null | /usr/bin/python3 -c 'import json,sys\n"
               "for p in json.load(sys.stdin)[\"partitiontable\"].get(\"partitions\", []):\n"
               "  print(p[\"start\"], p[\"size\"], p[\"type\"], \"*\" if p.get(\"bootable\") else \"-\")'");
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

void expectCylinders(const std::string& line, uint64_t startCylinder, uint64_t endCylinder,
                     bool bootable) {
  unsigned long long start = 0, size = 0;
  char type[16] = "", flag[4] = "";
  ASSERT_EQ(sscanf(line.c_str(), "%llu %llu %15s %3s", &start, &size, type, flag), 4) << line;
  if (startCylinder == 0) {
    EXPECT_GT(start, 0u) << line;
    EXPECT_LT(start, kCylinderSectors) << line;
  } else {
    EXPECT_EQ(start, startCylinder * kCylinderSectors) << line;
  }
  EXPECT_EQ(start + size, endCylinder * kCylinderSectors) << line;
  EXPECT_STREQ(type, "83") << line;
  EXPECT_STREQ(flag, bootable ? "*" : "-") << line;
}

bool journalled(const std::string& partition) {
  int status;
  std::string features =
      shell("dumpe2fs -h " + partition + " 2>/dev/null | grep '^Filesystem features'", &status);
  EXPECT_EQ(status, 0) << partition << " holds no file system";
  return features.find("has_journal") != std::string::npos;
}

int checkFileSystem(const std::string& partition) {
  int status;
  shell("e2fsck -n -f " + partition + " >/dev/null 2>&1", &status);
  return status;
}

namespace {

// Every test of the sandbox binary needs the device links; gtest runs this
// before the first test.
class SandboxDevices : public ::testing::Environment {
 public:
  void SetUp() override { prepareSandboxDevices(); }
};
const auto* const kSandboxDevices = ::testing::AddGlobalTestEnvironment(new SandboxDevices);

}  // namespace
