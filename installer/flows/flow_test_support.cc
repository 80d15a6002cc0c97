#include "flow_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "console/terminal.h"
#include "output_capture.h"
#include "startup/process_state.h"

// The package children of this binary end inside the new system's root
// without /proc, where the leak checker cannot run (it would fail their
// exit). Their code is leak-checked by the package tests.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {
constexpr const char* kOurSfdisk = "/run/flows-sfdisk";
}  // namespace

bool Ext2Medium::mountCdrom(const char* device) {
  tried.push_back(device);
  return mount(device, kSourceMountPoint, "ext2", MS_MGC_VAL | MS_RDONLY, nullptr) == 0;
}

bool Ext2Medium::mountDisk(const char* device) {
  tried.push_back(device);
  return mount(device, kSourceMountPoint, "ext2", 0, nullptr) == 0;
}

bool Ext2Medium::unmount() {
  ++unmounts;
  return umount(kSourceMountPoint) == 0;
}

int Ext2Medium::openForWriting(const char* device) { return open(device, O_WRONLY | O_CLOEXEC); }

void makeMedium(const LoopDisk& disk, const std::string& directory) {
  int status;
  std::string said = shell("/sbin/mke2fs -q -F -t ext2 -d '" + directory + "' " + disk.device() +
                               " 2>&1",
                           &status);
  ASSERT_EQ(status, 0) << said;
}

PartitioningTools::PartitioningTools(const std::vector<std::string>& scanned,
                                     const std::string& listing)
    : tool_(ToolStandIn::copyOf(kOurSfdisk, partitioningTool())),
      scan_("/sbin/sfdisk", [&] {
        std::string scan;
        if (!listing.empty()) {
          scan = "printf '%s' '" + listing + "'";
        } else {
          scan = std::string("exec ") + kOurSfdisk + " -g";
          for (const std::string& device : scanned) scan += " " + device;
        }
        return "if [ \"$*\" = -g ]; then " + scan + "; fi\nexec " + kOurSfdisk + " \"$@\"";
      }()) {}

FlowRun runFlow(const std::function<bool()>& flow, const std::string& keys) {
  FlowRun run;
  run.out = withoutDots(runWithInput(keys, [&] { run.result = flow(); }));
  return run;
}

std::string diskHead(const std::string& device, size_t size) {
  std::string bytes(size, '\0');
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << device;
  EXPECT_EQ(pread(fd, bytes.data(), size, 0), static_cast<ssize_t>(size));
  close(fd);
  return bytes;
}

std::string debugfs(const std::string& partition, const std::string& request) {
  return shell("debugfs -R '" + request + "' " + partition + " 2>/dev/null");
}

namespace {

// What every flow test shares: the console, the log console, SIGPIPE ignored
// as in the installer, and an empty module directory, so that the module
// loader never finds one of the machine's modules.
class FlowEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    terminal = new TerminalState;
    logConsolePath = "/dev/null";
    signal(SIGPIPE, SIG_IGN);
    utsname identity{};
    uname(&identity);
    int status;
    shell(std::string("mkdir -p /lib/modules && mount -t tmpfs modules /lib/modules && mkdir -p "
                      "/lib/modules/") + identity.release,
          &status);
    ASSERT_EQ(status, 0);
    ASSERT_FALSE(partitioningTool().empty()) << "bin/sfdisk is missing from the build";
  }
};
const auto* const kFlowEnvironment = ::testing::AddGlobalTestEnvironment(new FlowEnvironment);

}  // namespace
