#include "byte_stream.h"

namespace libinstall {

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
