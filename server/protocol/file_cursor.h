#pragma once
// One file being sent, read block by block from where the last block ended:
// a file is never held in memory whole.

#include <cstddef>
#include <cstdint>
#include <string>

class FileCursor {
 public:
  FileCursor() = default;
  FileCursor(const FileCursor&) = delete;
  FileCursor& operator=(const FileCursor&) = delete;
  ~FileCursor() { close(); }

  // Opens `path` for reading from its start. False with errno set.
  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  // The file's size at opening, for the operator's log.
  uint64_t size() const { return size_; }
  uint64_t offset() const { return offset_; }

  // Up to `capacity` next bytes into `buffer`: their count, 0 at the end of
  // the file, -1 on a read error (errno set).
  long readNext(void* buffer, size_t capacity);

  void close();

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
};
