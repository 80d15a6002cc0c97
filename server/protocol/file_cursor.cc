#include "server/protocol/file_cursor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool FileCursor::open(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat status;
  size_ = fstat(fd_, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  offset_ = 0;
  return true;
}

long FileCursor::readNext(void* buffer, size_t capacity) {
  for (;;) {
    ssize_t count = pread(fd_, buffer, capacity, static_cast<off_t>(offset_));
    if (count < 0 && errno == EINTR) continue;
    if (count > 0) offset_ += static_cast<uint64_t>(count);
    return count;
  }
}

void FileCursor::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
