// The one place where reading the disk label touches the kernel: the floppy
// is mounted for as long as its label file is read.
#include <sys/mount.h>

#include "flows/disk_label.h"

namespace {
constexpr const char* kFloppyDevice = "/dev/fd0";
constexpr const char* kFloppyMountPoint = "/floppy";
constexpr const char* kLabelFile = "/floppy/label.txt";
}  // namespace

void readDiskLabel(char* label, size_t capacity) {
  bool mounted = mount(kFloppyDevice, kFloppyMountPoint, "vfat", 0, nullptr) == 0;
  labelFromFile(mounted ? kLabelFile : nullptr, label, capacity);
  if (mounted) (void)umount(kFloppyMountPoint);  // read-only use: nothing to lose
}
