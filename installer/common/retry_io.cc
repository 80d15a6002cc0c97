#include "common/retry_io.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

ssize_t readRetrying(int fd, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool readAll(int fd, void* buffer, size_t size) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = readRetrying(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int waitForChild(pid_t pid) {
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, 0) >= 0) return status;
    if (errno != EINTR) return -1;
  }
}

void closeDescriptorsUpTo15(int first) {
  for (int fd = first; fd <= 15; ++fd) close(fd);
}
