#pragma once
// The narrow interfaces the archive layer reads from and writes to, so that
// the tar code runs the same over a gzip stream, a file or a test's memory.

#include <cstddef>
#include <iosfwd>
#include <string>
#include <utility>

namespace libinstall {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes. Returns the count (> 0), 0 at the end of the
  // data, or -1 on an error that error() describes.
  virtual long read(char* buffer, size_t size) = 0;
  virtual const std::string& error() const = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all `size` bytes; false on an error that error() describes.
  virtual bool write(const char* data, size_t size) = 0;
  virtual const std::string& error() const = 0;
};

// The bytes of a standard stream, as they come.
class IstreamSource : public ByteSource {
 public:
  explicit IstreamSource(std::istream& in) : in_(in) {}
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return error_; }

 private:
  std::istream& in_;
  std::string error_;
};

// `prefix` first, then whatever `rest` holds: bytes one reader took ahead of
// what it used, handed to the next reader of the same stream.
class PrefixedSource : public ByteSource {
 public:
  PrefixedSource(std::string prefix, ByteSource& rest) : prefix_(std::move(prefix)), rest_(rest) {}
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return rest_.error(); }

 private:
  std::string prefix_;
  size_t used_ = 0;
  ByteSource& rest_;
};

// What readExactly reports when the data ends early.
constexpr const char* kUnexpectedEnd = "unexpected end of data (truncated package)";

// Reads exactly `size` bytes. Returns false on an error or when the data ends
// first (then *error is kUnexpectedEnd).
bool readExactly(ByteSource& source, char* buffer, size_t size, std::string* error);

}  // namespace libinstall
