#include "disk/post_install.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>

#include "disk/command_runner.h"
#include "startup/progress.h"

namespace {
constexpr const char* kTarget = "/mnt";
constexpr const char* kTargetBoot = "/mnt/boot";

// Writes back the file system mounted on `path` and tells whether every
// write-back to its disk since the mount succeeded: sync() says nothing of
// failures, while syncfs() reports a failure that nobody has seen yet.
bool writtenBack(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = syncfs(fd) == 0;
  int error = errno;
  close(fd);
  errno = error;
  return written;
}

}  // namespace

bool finishInstallation(const DriveInfo& drive) {
  (void)runCommand(kTarget, "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
  sync();
  bool written = writtenBack(kTarget) && (!drive.over1024Cylinders || writtenBack(kTargetBoot));
  int error = errno;
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
  errno = error;
  return written;
}
