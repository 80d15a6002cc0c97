#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace libinstall {

bool writeAllTo(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool readSmallFile(const std::string& path, size_t limit, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->assign(limit + 1, '\0');
  size_t size = 0;
  ssize_t n = 0;
  // One byte more than the limit tells a larger file.
  while (size < text->size() && (n = read(fd, &(*text)[size], text->size() - size)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    size += static_cast<size_t>(n);
  }
  int readError = n < 0 ? errno : 0;
  close(fd);
  text->resize(size);
  if (readError == 0 && size > limit) readError = EFBIG;
  errno = readError;
  return readError == 0;
}

}  // namespace libinstall
