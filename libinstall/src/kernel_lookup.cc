#include "kernel_lookup.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#else
// Kernel headers older than 5.6: the interface itself is fixed.
struct open_how {
  uint64_t flags;
  uint64_t mode;
  uint64_t resolve;
};
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_NO_SYMLINKS 0x04
#define RESOLVE_BENEATH 0x08
#endif

#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif

namespace libinstall {
namespace {

int openat2Call(int dirFd, const char* path, uint64_t resolve) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = resolve;
  for (;;) {
    long fd = syscall(SYS_openat2, dirFd, path, &how, sizeof how);
    // EAGAIN (a rename elsewhere raced the lookup) is left to the caller,
    // who walks instead.
    if (fd < 0 && errno == EINTR) continue;
    return static_cast<int>(fd);
  }
}

}  // namespace

bool kernelLookupAvailable() {
  static const bool available = [] {
    int fd = openat2Call(AT_FDCWD, "/", RESOLVE_NO_SYMLINKS);
    if (fd < 0) return false;
    close(fd);
    return true;
  }();
  return available;
}

int openDirectoryWithoutLinks(int dirFd, const std::string& way) {
  return openat2Call(dirFd, way.c_str(),
                     RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
}

}  // namespace libinstall
