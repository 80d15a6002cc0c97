#pragma once
// For the disk tests that run inside the test sandbox (whole test binary):
// loop-device disks named as the installer names disks (/dev/hda, with
// partitions /dev/hda1 ...), stand-ins for tools at their fixed paths, and
// the independent readers (util-linux, e2fsprogs) that check the results.
//
// prepareSandboxDevices() must run first: it moves the machine's /dev (which
// the sandbox hands in) to /run/hostdev and makes /dev a small directory of
// links, so that /dev/hda can name a loop device without touching the
// machine's own /dev.

#include <cstdint>
#include <string>
#include <vector>

#include "hardware/drive_info.h"
#include "output_capture.h"  // shell

// The geometry every tool reports for loop devices.
constexpr uint32_t kLoopHeads = 255;
constexpr uint32_t kLoopSectors = 63;
constexpr uint32_t kLoopCylinderBytes = kLoopHeads * kLoopSectors * 512;
constexpr uint64_t kCylinderSectors = kLoopHeads * kLoopSectors;

// Once per test binary; aborts the binary when not inside the sandbox.
void prepareSandboxDevices();

// A sparse image of `cylinders` loop cylinders attached to a loop device and
// named /dev/<name>. Detached (partitions deleted first) at the end, after
// /mnt/boot and /mnt are unmounted. The image lies in `imageDirectory` when
// given (a file system too small for it makes a disk whose writes fail once
// it is full), else in the scratch directory.
class LoopDisk {
 public:
  LoopDisk(const std::string& name, uint32_t cylinders, const std::string& imageDirectory = "");
  ~LoopDisk();
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  // The record drive detection would make of this disk.
  DriveInfo drive() const;
  std::string device() const { return "/dev/" + name_; }
  std::string partition(int number) const { return device() + std::to_string(number); }

  struct Partition {
    uint64_t startSector;
    uint64_t sectors;
    bool bootable;
  };
  // Writes a table of these partitions and tells the kernel about them,
  // without any partitioning tool.
  void writeTable(const std::vector<Partition>& partitions);

 private:
  std::string name_;
  std::string image_;
  std::string loop_;
  uint32_t cylinders_;
};

// A log console for the tools: a FIFO at `path` that this process holds open
// for reading, so that every child can open it anew and what they write
// arrives in order (a plain file would be overwritten from its start by
// each child). Collect with take() once the children have ended.
class LogConsole {
 public:
  explicit LogConsole(const std::string& path = "/run/log-console");
  ~LogConsole();
  LogConsole(const LogConsole&) = delete;
  LogConsole& operator=(const LogConsole&) = delete;
  const char* path() const { return path_.c_str(); }
  // Everything written since the last take().
  std::string take();

 private:
  std::string path_;
  int fd_;
};


// Mount table lines "source target type" for mounts under /mnt.
std::vector<std::string> targetMounts();

// Replaces the tool at `path` for the lifetime of this object and puts the
// original back afterwards. The original stays reachable as original().
class ToolStandIn {
 public:
  // A shell script: `body` runs with the tool's arguments.
  ToolStandIn(const std::string& path, const std::string& body);
  // A copy of the machine file `program`.
  static ToolStandIn copyOf(const std::string& path, const std::string& program);
  ~ToolStandIn();
  ToolStandIn(ToolStandIn&& other) noexcept;
  ToolStandIn(const ToolStandIn&) = delete;
  ToolStandIn& operator=(const ToolStandIn&) = delete;
  std::string original() const { return saved_; }

 private:
  ToolStandIn() = default;
  void saveOriginal();
  std::string path_;
  std::string saved_;
};

// The installer's own partitioning tool as built here, or "" when it is
// missing.
std::string partitioningTool();

// The partitions of `disk` as util-linux reads them: one line
// "start size type flag" per partition, in sectors, flag "*" when bootable.
std::string partitionTable(const LoopDisk& disk);
std::vector<std::string> lines(const std::string& text);

// Checks one line of partitionTable(): partition 1 starts within cylinder 0
// (its first track stays free), every later one on a cylinder boundary; all
// end on cylinder boundaries; type 83.
void expectCylinders(const std::string& line, uint64_t startCylinder, uint64_t endCylinder,
                     bool bootable);

// e2fsprogs' view of a partition: whether its file system has a journal,
// and e2fsck -n -f's exit status.
bool journalled(const std::string& partition);
int checkFileSystem(const std::string& partition);

// Output of installSystem and its peers with the progress dots removed, so
// that lines compare exactly whatever the tools' speed.
std::string withoutDots(const std::string& output);
