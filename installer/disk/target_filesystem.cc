#include "disk/target_filesystem.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>

#include "disk/target_layout.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kConfigFileMode = 0644;

bool mountPartition(const DriveInfo& drive, int number, const char* type, const char* target) {
  char partition[kPathSize];
  return partitionPath(partition, drive, number) &&
         mount(partition, target, type, 0, nullptr) == 0;
}

std::string formatted(const char* format, const char* a, const char* b = "") {
  char line[160];
  snprintf(line, sizeof line, format, a, b);
  return line;
}

// Creates "<root>/etc" if needed and writes `text` to "<root>/etc/<name>"
// with mode 0644. False when the file cannot be created or the text did not
// all reach it.
bool writeConfigFile(const char* root, const char* name, const std::string& text) {
  char directory[kPathSize];
  char path[kPathSize];
  if (!formatPath(directory, sizeof directory, "%s/etc", root) ||
      !formatPath(path, sizeof path, "%s/etc/%s", root, name)) {
    return false;
  }
  (void)mkdir(directory, kDirectoryMode);  // usually exists; fopen decides
  FILE* file = fopen(path, "w");
  if (file == nullptr) return false;
  bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  // A full disk shows only when the buffer is flushed, at fclose: a cut
  // fstab or lilo.conf would leave an unbootable system behind a success.
  written = (fclose(file) == 0) && written;
  (void)chmod(path, kConfigFileMode);
  return written;
}

}  // namespace

bool mountTarget(const DriveInfo& drive, const char* mountPoint, bool withBoot) {
  // The root partition of this disk's layout first: asked for a partition
  // the disk does not have, the kernel complains on the console ("Can't
  // open blockdev"). The other one is tried only after, for an old system
  // laid out otherwise. Journalled first: the kernel's ext3 refuses a file
  // system without a journal, while ext2 would also take an ext3 one and
  // skip its journal.
  int own = rootPartitionNumber(drive);
  const int candidates[] = {own, own == 1 ? 2 : 1};
  int root = 0;
  for (int partition : candidates) {
    if (mountPartition(drive, partition, "ext3", mountPoint) ||
        mountPartition(drive, partition, "ext2", mountPoint)) {
      root = partition;
      break;
    }
  }
  if (root == 0) return false;
  bool rootIsPartition2 = root == 2;
  if (!rootIsPartition2 || !withBoot) return true;

  char boot[kPathSize];
  if (formatPath(boot, sizeof boot, "%s/boot", mountPoint)) {
    (void)mkdir(boot, kDirectoryMode);  // may exist; the mount decides
    if (mountPartition(drive, 1, "ext2", boot)) return true;
  }
  (void)umount(mountPoint);  // nothing stays mounted behind a false
  return false;
}

std::string fstabText(const DriveInfo& drive) {
  const char* type = rootFileSystemType(drive);
  std::string text;
  if (drive.over1024Cylinders) {
    text = formatted("%s2  /     %s defaults 1 1\n", drive.device, type) +
           formatted("%s1  /boot ext2 defaults 1 2\n", drive.device);
  } else {
    text = formatted("%s1  /     %s defaults 1 1\n", drive.device, type);
  }
  return text + "none /proc proc defaults 0 0\n" + "none /dev/pts devpts gid=5,mode=620 0 0\n";
}

std::string liloConfText(const DriveInfo& drive) {
  char root[kPathSize];
  (void)partitionPath(root, drive, rootPartitionNumber(drive));  // device fits: 32 bytes
  return formatted("boot=%s1\n", drive.device) +
         "map=/boot/map\n"
         "install=/boot/boot.b\n"
         "lba32\n"
         "image=/boot/vmlinuz\n"
         "  label=System\n" +
         formatted("  root=%s\n", root) + "  read-only\n";
}

bool writeFstab(const DriveInfo& drive, const char* root) {
  if (!writeConfigFile(root, "fstab", fstabText(drive))) return false;
  if (drive.over40MiB) {
    // The marker only spares the new system a check of its journalled root;
    // without it the system still boots.
    char marker[kPathSize];
    if (formatPath(marker, sizeof marker, "%s/.nofsck", root)) {
      FILE* file = fopen(marker, "w");
      if (file != nullptr) (void)fclose(file);
    }
  }
  return true;
}

bool writeLiloConf(const DriveInfo& drive, const char* root) {
  return writeConfigFile(root, "lilo.conf", liloConfText(drive));
}
