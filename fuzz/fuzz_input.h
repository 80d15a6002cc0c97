#pragma once
// What the fuzz targets share: the input as a stream (for parsers that read
// a FILE*), and as a sequence of records (datagrams, keys, operations), each
// a 16-bit little-endian length and that many bytes; a last record cut short
// keeps what is there. Seed files in fuzz/corpus/ use the same layout.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzz {

// The input as a read-only stream; null when the C library cannot make one
// (an empty input).
inline FILE* openInput(const uint8_t* data, size_t size) {
  if (size == 0) return fopen("/dev/null", "r");
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

class Records {
 public:
  Records(const uint8_t* data, size_t size) : data_(data), left_(size) {}

  // The next record; false at the end of the input.
  bool next(const uint8_t*& record, size_t& length) {
    if (left_ < 2) return false;
    size_t wanted = data_[0] | (data_[1] << 8);
    data_ += 2;
    left_ -= 2;
    length = wanted < left_ ? wanted : left_;
    record = data_;
    data_ += length;
    left_ -= length;
    return true;
  }

  // One byte ahead of a record (a step of a clock, a choice); 0 at the end.
  uint8_t byte() {
    if (left_ == 0) return 0;
    --left_;
    return *data_++;
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

}  // namespace fuzz
