#pragma once
// Whole-file reads and writes on descriptors, for the library and the
// package tool alike.

#include <cstddef>
#include <string>

namespace libinstall {

// Writes all `size` bytes, again after EINTR. False with errno set (EIO for a
// write that takes nothing).
bool writeAllTo(int fd, const char* data, size_t size);

// Reads the file at `path` into *text when it holds at most `limit` bytes.
// False otherwise, with errno set (EFBIG for a larger file).
bool readSmallFile(const std::string& path, size_t limit, std::string* text);

}  // namespace libinstall
