#pragma once
// A file in memory under a path, for targets whose entry point opens a path
// (package and key files): rewritten for every input.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz_check.h"

namespace fuzz {

class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    FUZZ_CHECK(fd_ >= 0);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }

  const std::string& hold(const std::string& bytes) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    ssize_t written = pwrite(fd_, bytes.data(), bytes.size(), 0);
    FUZZ_CHECK(written == static_cast<ssize_t>(bytes.size()));
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace fuzz
