#pragma once
// gzip (RFC 1952) over standard streams, through zlib. The reader checks what
// the format offers against damage: the CRC-32 and length in the trailer, a
// stream that ends early, and bytes after the end.

#include <zlib.h>

#include <iosfwd>
#include <memory>
#include <string>

#include "byte_stream.h"

namespace libinstall {

// Decompresses one gzip member read from `in` (or `source`), which must
// outlive the reader; the reader takes input in blocks of kInputBlock bytes.
class GzipReader : public ByteSource {
 public:
  static constexpr size_t kInputBlock = 64 * 1024;

  explicit GzipReader(std::istream& in);
  explicit GzipReader(ByteSource& source);
  ~GzipReader() override;
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  // Decompressed bytes; 0 once the member ended with a correct trailer.
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return error_; }

  // Reads the input to its end. True when the member ended correctly and
  // nothing but zero bytes (padding) follows it. Call after read() gave 0.
  bool finish();

  // Compressed bytes taken from the input so far.
  unsigned long long inputBytes() const { return inputBytes_; }

  // Once the member has ended (read() gave 0): the input taken beyond its
  // end, which belongs to whatever follows the member.
  std::string unusedInput() const;

 private:
  explicit GzipReader(std::unique_ptr<ByteSource> ownSource);
  bool refill();
  long fail(const std::string& message);

  std::unique_ptr<ByteSource> ownSource_;
  ByteSource& source_;
  z_stream zs_{};
  std::unique_ptr<char[]> input_;
  bool inputEnded_ = false;
  bool memberEnded_ = false;
  bool failed_ = false;
  unsigned long long inputBytes_ = 0;
  std::string error_;
};

// Compresses into one gzip member written to `out`.
class GzipWriter : public ByteSink {
 public:
  explicit GzipWriter(std::ostream& out, int level = Z_DEFAULT_COMPRESSION);
  ~GzipWriter() override;
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  bool write(const char* data, size_t size) override;
  const std::string& error() const override { return error_; }
  // Ends the member (trailer) and flushes the output stream.
  bool finish();

 private:
  bool pump(int flush);

  std::ostream& out_;
  z_stream zs_{};
  std::unique_ptr<char[]> output_;
  bool ready_ = false;
  std::string error_;
};

}  // namespace libinstall
