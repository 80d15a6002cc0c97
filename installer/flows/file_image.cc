#include "flows/file_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "common/retry_io.h"

bool FileImage::loadFile(const char* path) {
  release();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool loaded = fstat(fd, &st) == 0 && st.st_size >= 0 &&
                static_cast<uint64_t>(st.st_size) <= std::numeric_limits<uint32_t>::max() &&
                loadDescriptor(fd, static_cast<uint32_t>(st.st_size));
  close(fd);
  return loaded;
}

bool FileImage::loadDescriptor(int fd, uint32_t size) {
  release();
  if (size == 0) return true;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
  if (!data) return false;
  if (!readAll(fd, data.get(), size)) return false;  // an error, or a file cut since it was sized
  // A file that grew since it was sized is not the file that was chosen.
  uint8_t probe;
  if (readRetrying(fd, &probe, 1) != 0) return false;
  data_ = std::move(data);
  size_ = size;
  return true;
}

size_t FileImage::readChunk(void* buffer, size_t max) {
  size_t count = std::min<size_t>(max, size_ - position_);
  if (count > 0) memcpy(buffer, data_.get() + position_, count);
  position_ += static_cast<uint32_t>(count);
  return count;
}

void FileImage::release() {
  data_.reset();
  size_ = 0;
  position_ = 0;
}
