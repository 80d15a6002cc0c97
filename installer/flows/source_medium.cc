#include "flows/source_medium.h"

#include <fcntl.h>
#include <sys/mount.h>

namespace {

// The classic magic in the upper half, read-only in the lower: 0xC0ED0001.
constexpr unsigned long kCdromMountFlags = MS_MGC_VAL | MS_RDONLY;

class SystemSourceMedium : public SourceMedium {
 public:
  bool mountCdrom(const char* device) override {
    return mount(device, kSourceMountPoint, "iso9660", kCdromMountFlags, nullptr) == 0;
  }
  bool mountDisk(const char* device) override {
    return mount(device, kSourceMountPoint, "vfat", 0, nullptr) == 0;
  }
  bool unmount() override { return umount(kSourceMountPoint) == 0; }
  int openForWriting(const char* device) override { return open(device, O_WRONLY | O_CLOEXEC); }
};

}  // namespace

SourceMedium& systemSourceMedium() {
  static SystemSourceMedium medium;
  return medium;
}
