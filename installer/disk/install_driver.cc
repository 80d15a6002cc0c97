#include "disk/install_driver.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>

#include "disk/partitioning.h"
#include "disk/snapshot.h"
#include "disk/target_filesystem.h"
#include "startup/progress.h"

namespace {

constexpr const char* kTarget = "/mnt";
constexpr const char* kTargetBoot = "/mnt/boot";
constexpr const char* kConfigStore = "/mnt/tarn/store";
constexpr mode_t kBaseDirectoryMode = 0755;

// The base directories, as created and as the installed system names them.
struct BaseDirectory {
  const char* path;
  const char* shownAs;
};
constexpr BaseDirectory kBaseDirectories[] = {
    {"/mnt/tarn", "/tarn"},
    {"/mnt/tarn/etc", "/tarn/etc"},
    {"/mnt/var", "/var"},
    {"/mnt/var/pdb", "/var/pdb"},
};

// Mounts the old system, captures its configuration store if it has one,
// and unmounts it again. Null when there is nothing to keep; a failed
// capture has been reported.
SnapshotChunk* keepOldConfiguration(DriveInfo& drive) {
  if (!mountTarget(drive, kTarget, /*withBoot=*/false)) return nullptr;  // e.g. a blank disk
  SnapshotChunk* snapshot = nullptr;
  struct stat st;
  if (lstat(kConfigStore, &st) == 0) {
    startProgress("Reading old configuration...");
    snapshot = captureTree(kConfigStore);
    endProgress();
    if (snapshot == nullptr) puts("ERROR: couldn't keep config - probably not enough memory");
  }
  (void)umount(kTargetBoot);  // not mounted with withBoot false; harmless
  (void)umount(kTarget);      // if busy, formatting refuses the mounted disk
  return snapshot;
}

bool fail(const char* message) {
  puts(message);
  return false;
}

}  // namespace

bool installSystem(DriveInfo& drive, bool keepConfig) {
  SnapshotChunk* snapshot = keepConfig ? keepOldConfiguration(drive) : nullptr;

  startProgress("Creating partition...");
  bool partitioned = partitionDisk(drive);
  endProgress();
  // From here on a snapshot is abandoned on failure: the run ends in a restart.
  if (!partitioned) return fail("ERROR: could not create partitions");

  startProgress("Formatting disk...");
  bool formatted = formatPartitions(drive);
  endProgress();
  if (!formatted) return fail("ERROR: could not format partitions");

  if (!mountTarget(drive, kTarget, /*withBoot=*/true)) return fail("ERROR: could not mount filesystem");
  if (!writeLiloConf(drive, kTarget)) return fail("ERROR: could not create lilo.conf");
  if (!writeFstab(drive, kTarget)) return fail("ERROR: could not create fstab");

  for (const BaseDirectory& directory : kBaseDirectories) {
    if (mkdir(directory.path, kBaseDirectoryMode) != 0) {
      fflush(stdout);  // keep the perror line after what was printed before
      perror(directory.shownAs);
    }
  }

  if (snapshot != nullptr) {
    startProgress("Writing back old configuration...");
    bool restored = restoreTree(snapshot);
    endProgress();
    if (!restored) {
      puts("ERROR: couldn't write old configuration - proboably not enough space on the disk");
    }
  }
  return true;
}
