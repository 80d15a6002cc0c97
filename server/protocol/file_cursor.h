#pragma once
// One file being sent, read block by block from where the last block ended:
// a file is never held in memory whole. With a buffer of a ReadAheadPool it
// is read ReadAheadPool::kBufferSize bytes at a time and the blocks are
// handed out of the buffer; the bytes are the same.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ReadAheadPool;

class FileCursor {
 public:
  FileCursor() = default;
  FileCursor(const FileCursor&) = delete;
  FileCursor& operator=(const FileCursor&) = delete;
  ~FileCursor() { close(); }

  // Opens `path` for reading from its start, reading ahead through a buffer
  // of `pool` when it has one to lend (null: none). False with errno set.
  // `pool` must outlive the cursor's file.
  [[nodiscard]] bool open(const std::string& path, ReadAheadPool* pool = nullptr);
  bool isOpen() const { return fd_ >= 0; }
  // The file's size at opening, for the operator's log.
  uint64_t size() const { return size_; }
  uint64_t offset() const { return offset_; }
  bool readsAhead() const { return ahead_ != nullptr; }

  // Up to `capacity` next bytes into `buffer`: their count, 0 at the end of
  // the file, -1 on a read error (errno set).
  long readNext(void* buffer, size_t capacity);

  // Closes the file and gives the buffer back.
  void close();

 private:
  // `capacity` bytes at `offset` from the file itself.
  long readAt(void* buffer, size_t capacity, uint64_t offset);

  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  ReadAheadPool* pool_ = nullptr;
  std::unique_ptr<uint8_t[]> ahead_;
  uint64_t aheadStart_ = 0;  // the file offset of the buffer's first byte
  size_t aheadLength_ = 0;   // bytes in it
};
