#include "byte_stream.h"

#include <algorithm>
#include <cstring>
#include <istream>

namespace libinstall {

long IstreamSource::read(char* buffer, size_t size) {
  in_.read(buffer, static_cast<std::streamsize>(size));
  std::streamsize got = in_.gcount();
  if (got > 0) return static_cast<long>(got);
  if (in_.bad()) {
    error_ = "read error";
    return -1;
  }
  return 0;
}

long PrefixedSource::read(char* buffer, size_t size) {
  if (used_ == prefix_.size()) return rest_.read(buffer, size);
  size_t n = std::min(size, prefix_.size() - used_);
  memcpy(buffer, prefix_.data() + used_, n);
  used_ += n;
  return static_cast<long>(n);
}

bool readExactly(ByteSource& source, char* buffer, size_t size, std::string* error) {
  size_t done = 0;
  while (done < size) {
    long n = source.read(buffer + done, size - done);
    if (n < 0) {
      *error = source.error();
      return false;
    }
    if (n == 0) {
      *error = kUnexpectedEnd;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace libinstall
