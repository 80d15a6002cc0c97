#include "disk/snapshot_stream.h"

#include <cstdlib>
#include <cstring>

#include "common/retry_io.h"

void freeSnapshot(SnapshotChunk* head) {
  while (head != nullptr) {
    SnapshotChunk* next = head->next;
    head->magic = 0;
    free(head);
    head = next;
  }
}

bool SnapshotWriter::chain(uint32_t capacity) {
  auto* chunk = static_cast<SnapshotChunk*>(malloc(sizeof(SnapshotChunk) + capacity));
  if (chunk == nullptr) return false;
  chunk->magic = SnapshotChunk::kMagic;
  chunk->limit = capacity;
  chunk->cursor = 0;
  chunk->next = nullptr;
  if (tail_ == nullptr) {
    head_ = chunk;
  } else {
    tail_->limit = tail_->cursor;
    tail_->cursor = 0;
    tail_->next = chunk;
  }
  tail_ = chunk;
  return true;
}

bool SnapshotWriter::start() { return chain(SnapshotChunk::kCapacity); }

bool SnapshotWriter::appendString(const char* text) {
  size_t size = strlen(text) + 1;
  if (size > freeSpace()) {
    if (size > UINT32_MAX || !chain(static_cast<uint32_t>(size))) return false;
  }
  memcpy(tail_->payload() + tail_->cursor, text, size);
  tail_->cursor += static_cast<uint32_t>(size);
  return true;
}

bool SnapshotWriter::appendBytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (freeSpace() == 0 && !chain(SnapshotChunk::kCapacity)) return false;
    size_t piece = size < freeSpace() ? size : freeSpace();
    memcpy(tail_->payload() + tail_->cursor, bytes, piece);
    tail_->cursor += static_cast<uint32_t>(piece);
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool SnapshotWriter::appendContent(int fd, uint64_t size) {
  uint64_t total = 0;
  while (total < size) {
    if (freeSpace() == 0 && !chain(SnapshotChunk::kCapacity)) return false;
    uint64_t wanted = size - total;
    size_t ask = wanted < freeSpace() ? static_cast<size_t>(wanted) : freeSpace();
    ssize_t got = readRetrying(fd, tail_->payload() + tail_->cursor, ask);
    if (got <= 0) return false;  // an error, or a file that shrank
    tail_->cursor += static_cast<uint32_t>(got);
    total += static_cast<uint64_t>(got);
  }
  // The end is probed outside the chunks, so that a file ending on a chunk
  // boundary chains no empty chunk. A byte here means the file grew.
  uint8_t probe;
  return readRetrying(fd, &probe, 1) == 0;
}

SnapshotChunk* SnapshotWriter::finish() {
  if (tail_ != nullptr) {
    tail_->limit = tail_->cursor;
    tail_->cursor = 0;
  }
  SnapshotChunk* head = head_;
  head_ = tail_ = nullptr;
  return head;
}

bool SnapshotReader::atEnd() {
  while (chunk_ != nullptr && chunk_->cursor >= chunk_->limit) chunk_ = chunk_->next;
  return chunk_ == nullptr;
}

const char* SnapshotReader::readString() {
  if (atEnd()) return nullptr;
  auto* start = chunk_->payload() + chunk_->cursor;
  size_t available = chunk_->limit - chunk_->cursor;
  auto* end = static_cast<uint8_t*>(memchr(start, '\0', available));
  if (end == nullptr) return nullptr;
  chunk_->cursor += static_cast<uint32_t>(end - start + 1);
  return reinterpret_cast<const char*>(start);
}

bool SnapshotReader::readBytes(void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const uint8_t* piece;
    size_t got = nextPiece(size, piece);
    if (got == 0) return false;
    memcpy(bytes, piece, got);
    bytes += got;
    size -= got;
  }
  return true;
}

size_t SnapshotReader::nextPiece(size_t size, const uint8_t*& data) {
  if (atEnd()) return 0;
  size_t available = chunk_->limit - chunk_->cursor;
  size_t piece = size < available ? size : available;
  data = chunk_->payload() + chunk_->cursor;
  chunk_->cursor += static_cast<uint32_t>(piece);
  return piece;
}
