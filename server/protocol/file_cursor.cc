#include "server/protocol/file_cursor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/protocol/read_ahead_pool.h"

bool FileCursor::open(const std::string& path, ReadAheadPool* pool) {
  close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat status;
  size_ = fstat(fd_, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  offset_ = 0;
  if (pool != nullptr) {
    ahead_ = pool->borrow();
    pool_ = ahead_ != nullptr ? pool : nullptr;
  }
  aheadStart_ = 0;
  aheadLength_ = 0;
  return true;
}

long FileCursor::readAt(void* buffer, size_t capacity, uint64_t offset) {
  for (;;) {
    ssize_t count = pread(fd_, buffer, capacity, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    return count;
  }
}

long FileCursor::readNext(void* buffer, size_t capacity) {
  if (ahead_ == nullptr || capacity > ReadAheadPool::kBufferSize) {
    long count = readAt(buffer, capacity, offset_);
    if (count > 0) offset_ += static_cast<uint64_t>(count);
    return count;
  }
  // A block is handed out of the buffer only when all of it is there;
  // otherwise the buffer is filled again from the block's start, so that
  // no block is cut short where a buffer ended, and the file's end is
  // always the file's answer (0), never a guess from a short buffer.
  if (offset_ < aheadStart_ || offset_ + capacity > aheadStart_ + aheadLength_) {
    long count = readAt(ahead_.get(), ReadAheadPool::kBufferSize, offset_);
    if (count < 0) return -1;
    aheadStart_ = offset_;
    aheadLength_ = static_cast<size_t>(count);
  }
  size_t available = static_cast<size_t>(aheadStart_ + aheadLength_ - offset_);
  size_t count = available < capacity ? available : capacity;
  memcpy(buffer, ahead_.get() + (offset_ - aheadStart_), count);
  offset_ += count;
  return static_cast<long>(count);
}

void FileCursor::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (pool_ != nullptr) pool_->giveBack(std::move(ahead_));
  ahead_.reset();
  pool_ = nullptr;
}
