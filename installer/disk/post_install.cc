#include "disk/post_install.h"

#include <sys/mount.h>
#include <unistd.h>

#include "disk/command_runner.h"
#include "startup/progress.h"

namespace {
constexpr const char* kTarget = "/mnt";
constexpr const char* kTargetBoot = "/mnt/boot";
}  // namespace

void finishInstallation(const DriveInfo& drive) {
  (void)runCommand(kTarget, "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
  sync();
  (void)umount(kTargetBoot);  // the single layout has nothing there
  if (!drive.over1024Cylinders) {
    // A remount ignores source and type; the checker must find its root
    // read-only.
    if (mount("/dev/hda1", kTarget, "ext3", MS_RDONLY | MS_REMOUNT, nullptr) == 0) {
      startProgress("Checking disk integrity...");
      (void)runCommand(kTarget, "/sbin/fsck", "-d", "-v", nullptr);
      endProgress();
    }
  }
  (void)umount(kTarget);
}
