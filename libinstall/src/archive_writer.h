#pragma once
// Writes a tar stream that ArchiveReader (and tar itself) reads: a ustar
// header per member, preceded by a pax record header when a field does not
// fit, the data padded to whole blocks, and the end marker.

#include <string>

#include "byte_stream.h"
#include "tar_format.h"

namespace libinstall {

class ArchiveWriter {
 public:
  explicit ArchiveWriter(ByteSink& sink) : sink_(sink) {}

  // Writes the member's header. A regular member's `size` bytes of data must
  // follow through writeData before the next member. Directory paths get
  // their trailing slash here.
  bool beginMember(const Member& member);
  bool writeData(const char* data, size_t size);
  // Checks that all the announced data came and pads it to a whole block.
  bool endMember();
  // Writes the end marker (two zero blocks).
  bool finish();

  const std::string& error() const { return error_; }

 private:
  bool put(const char* data, size_t size);

  ByteSink& sink_;
  uint64_t announced_ = 0;
  uint64_t written_ = 0;
  std::string error_;
};

}  // namespace libinstall
