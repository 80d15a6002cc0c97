#pragma once
// Reads the members of a tar stream one after another, with their data,
// without holding more than one header's worth of the stream in memory.

#include <cstdint>
#include <string>

#include "byte_stream.h"
#include "tar_format.h"

namespace libinstall {

class ArchiveReader {
 public:
  // Largest pax or GNU long-name record accepted, also for all the pax
  // headers of one member together: more is no honest archive.
  static constexpr uint64_t kMaxExtendedHeader = 1024 * 1024;

  explicit ArchiveReader(ByteSource& source) : source_(source) {}

  // Moves to the next member (skipping what is left of the current one's
  // data). Returns 1 with *member filled, 0 at the archive's end marker (two
  // zero blocks), -1 on an error that error() describes: damaged or
  // truncated data, a member type that packages cannot hold (devices, fifos),
  // an oversized record, a size or id out of range (package_limits.h).
  int next(Member* member);

  // Reads the current member's data. Returns the count, 0 once all of it has
  // been read, -1 on an error (a stream that ends inside the data included).
  long readData(char* buffer, size_t size);

  // Makes the next call to next() give `member` (the current one) again, its
  // data unread: whoever looked at a member's header hands it on whole.
  void putBack(const Member& member);

  // Reads what is left of the current member's data and its padding: the
  // source then stands at the next header. False on an error.
  bool skipMember() { return skipRemainingData(); }

  // Reads the source to its end after the end marker. Tar pads archives with
  // zero bytes; anything else there fails (false with error()).
  bool drain();

  const std::string& error() const { return error_; }

 private:
  int fail(const std::string& message);
  int endMarker();
  bool skipRemainingData();
  bool readExtended(uint64_t size, std::string* text);

  ByteSource& source_;
  uint64_t remaining_ = 0;  // data bytes of the current member not yet read
  uint64_t padding_ = 0;    // bytes after them up to the next block
  bool haveReturned_ = false;
  Member returned_;  // what putBack handed back
  std::string error_;
};

// A name for a member type in messages and listings.
const char* memberTypeName(MemberType type);

}  // namespace libinstall
