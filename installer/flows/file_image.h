#pragma once
// An in-memory copy of one file. The hard-disk flow reads everything it will
// install into such images before it rewrites the disk that holds the files.

#include <cstddef>
#include <cstdint>
#include <memory>

class FileImage {
 public:
  FileImage() = default;
  FileImage(FileImage&&) = default;
  FileImage& operator=(FileImage&&) = default;
  FileImage(const FileImage&) = delete;
  FileImage& operator=(const FileImage&) = delete;

  // Reads the whole file at `path` into one block of its exact size (an empty
  // file gives an empty image). False, with nothing kept, when the file
  // cannot be opened or sized, the block cannot be had, a read fails, or the
  // file turns out shorter or longer than the size it had when opened.
  [[nodiscard]] bool loadFile(const char* path);

  // The same for an open descriptor whose content is expected to be exactly
  // `size` bytes long; the descriptor stays open.
  [[nodiscard]] bool loadDescriptor(int fd, uint32_t size);

  // Copies the next min(max, size - position) bytes into `buffer` and moves
  // on; 0 at the end.
  size_t readChunk(void* buffer, size_t max);

  // Frees the data; the image is empty afterwards.
  void release();

  uint32_t size() const { return size_; }
  const uint8_t* data() const { return data_.get(); }

 private:
  uint32_t size_ = 0;
  uint32_t position_ = 0;
  std::unique_ptr<uint8_t[]> data_;
};
