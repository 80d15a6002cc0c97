#pragma once
// The in-memory stream of a configuration snapshot: a singly linked chain of
// heap chunks, each one block of a header and its payload. Capture appends to
// the chain (SnapshotWriter); restore reads it front to back (SnapshotReader).
//
// While a chunk is being written, `limit` is its payload capacity and
// `cursor` the bytes written; once the next chunk is chained behind it (or
// the capture ends) it is sealed: `limit` becomes the bytes in use and
// `cursor` the read position, starting at 0.

#include <cstddef>
#include <cstdint>

struct SnapshotChunk {
  static constexpr uint32_t kMagic = 0x5A0937EB;  // alive; 0 just before free
  static constexpr uint32_t kCapacity = 16000;    // payload of a regular chunk

  uint32_t magic;
  uint32_t limit;
  uint32_t cursor;
  SnapshotChunk* next;

  uint8_t* payload() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// Frees every chunk from `head` on, zeroing each magic first. Null is fine.
void freeSnapshot(SnapshotChunk* head);

// Builds a chain. Every append returns false when memory runs out; the
// writer then still owns (and at destruction frees) what it built.
class SnapshotWriter {
 public:
  SnapshotWriter() = default;
  SnapshotWriter(const SnapshotWriter&) = delete;
  SnapshotWriter& operator=(const SnapshotWriter&) = delete;
  ~SnapshotWriter() { freeSnapshot(head_); }

  // Allocates the first regular chunk.
  [[nodiscard]] bool start();

  // A NUL-terminated string, never split: when it does not fit in the free
  // space, it gets a chunk of its own of exactly its length plus one.
  [[nodiscard]] bool appendString(const char* text);

  // A block of bytes, split over as many chunks as it needs.
  [[nodiscard]] bool appendBytes(const void* data, size_t size);

  // Reads the `size` bytes of the file `fd` straight into the chunks,
  // chaining regular chunks as they fill. False on a read error, when memory
  // runs out, or when the file does not hold exactly `size` bytes (it
  // changed since its size was taken).
  [[nodiscard]] bool appendContent(int fd, uint64_t size);

  // Seals the last chunk and hands the chain over; the writer is empty
  // afterwards.
  SnapshotChunk* finish();

 private:
  [[nodiscard]] bool chain(uint32_t capacity);
  uint32_t freeSpace() const { return tail_->limit - tail_->cursor; }

  SnapshotChunk* head_ = nullptr;
  SnapshotChunk* tail_ = nullptr;
};

// Reads a sealed chain front to back; does not own it.
class SnapshotReader {
 public:
  explicit SnapshotReader(SnapshotChunk* head) : chunk_(head) {}

  // True when every chunk has been read.
  bool atEnd();

  // The next string, pointing into the chain; null when the stream has
  // ended or the chunk holds no terminator (a damaged stream).
  const char* readString();

  // Copies the next `size` bytes; false when the stream ends first.
  [[nodiscard]] bool readBytes(void* data, size_t size);

  // The next piece of at most `size` bytes as it lies in one chunk: sets
  // `data` and returns its length, 0 when the stream has ended.
  size_t nextPiece(size_t size, const uint8_t*& data);

 private:
  SnapshotChunk* chunk_;
};
