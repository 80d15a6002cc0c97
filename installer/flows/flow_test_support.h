#pragma once
// For the local flows' tests inside the sandbox: media on loop devices with
// ext2 standing in for ISO 9660 and FAT, the drive scan answered by our
// partitioning tool, waits that are counted instead of slept, and one run of
// a flow with the operator's keys given in advance.

#include <functional>
#include <string>
#include <vector>

#include "disk/disk_sandbox_support.h"
#include "flows/source_medium.h"
#include "hardware/sleeper.h"

// Mounts ext2 where the installer mounts ISO 9660 or FAT, with the same
// flags, and remembers every device it was asked to mount.
class Ext2Medium : public SourceMedium {
 public:
  bool mountCdrom(const char* device) override;
  bool mountDisk(const char* device) override;
  bool unmount() override;
  int openForWriting(const char* device) override;

  std::vector<std::string> tried;  // devices, in the order they were tried
  int unmounts = 0;
};

struct CountingSleeper : Sleeper {
  void sleepSeconds(unsigned seconds) override { waits.push_back(seconds); }
  std::vector<unsigned> waits;
};

// Fills the whole of `disk` with an ext2 file system holding the files of
// `directory` (nothing mounted to make it).
void makeMedium(const LoopDisk& disk, const std::string& directory);

// /sbin/sfdisk for the flows: our partitioning tool, except that the drive
// scan ("-g" alone) lists exactly the geometry of `scanned` disks, through
// the tool itself, or the lines of `listing` when it is not empty.
class PartitioningTools {
 public:
  explicit PartitioningTools(const std::vector<std::string>& scanned,
                             const std::string& listing = "");

 private:
  ToolStandIn tool_;
  ToolStandIn scan_;
};

struct FlowRun {
  bool result = false;
  std::string out;  // standard output with the progress dots folded to "..."
};

// Runs `flow` with the console's input reading `keys` (then its end).
FlowRun runFlow(const std::function<bool()>& flow, const std::string& keys);

// The first `size` bytes of a disk.
std::string diskHead(const std::string& device, size_t size = 512);

// What debugfs reads from the file system on `partition`.
std::string debugfs(const std::string& partition, const std::string& request);
