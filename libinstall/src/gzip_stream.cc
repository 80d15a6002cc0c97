#include "gzip_stream.h"

#include <algorithm>
#include <istream>
#include <limits>
#include <ostream>

namespace libinstall {
namespace {
// zlib's window bits for a gzip wrapper (and not raw deflate or zlib).
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;
constexpr size_t kOutputBlock = 64 * 1024;

// zlib counts in uInt; feed it no more than that at once.
uInt clampToUInt(size_t size) {
  return static_cast<uInt>(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
}
}  // namespace

GzipReader::GzipReader(std::istream& in) : GzipReader(std::make_unique<IstreamSource>(in)) {}

GzipReader::GzipReader(std::unique_ptr<ByteSource> ownSource)
    : GzipReader(*ownSource) {
  ownSource_ = std::move(ownSource);
}

GzipReader::GzipReader(ByteSource& source) : source_(source), input_(new char[kInputBlock]) {
  if (inflateInit2(&zs_, kGzipWindowBits) != Z_OK) {
    failed_ = true;
    error_ = "cannot start decompression";
  }
}

GzipReader::~GzipReader() { inflateEnd(&zs_); }

long GzipReader::fail(const std::string& message) {
  failed_ = true;
  error_ = message;
  return -1;
}

bool GzipReader::refill() {
  if (inputEnded_) return false;
  long got = source_.read(input_.get(), kInputBlock);
  if (got < 0) {
    fail(source_.error());
    return false;
  }
  if (got == 0) {
    inputEnded_ = true;
    return false;
  }
  zs_.next_in = reinterpret_cast<Bytef*>(input_.get());
  zs_.avail_in = static_cast<uInt>(got);
  inputBytes_ += static_cast<unsigned long long>(got);
  return true;
}

long GzipReader::read(char* buffer, size_t size) {
  if (failed_) return -1;
  if (memberEnded_ || size == 0) return 0;
  zs_.next_out = reinterpret_cast<Bytef*>(buffer);
  zs_.avail_out = clampToUInt(size);
  const uInt wanted = zs_.avail_out;
  while (zs_.avail_out == wanted) {
    if (zs_.avail_in == 0 && !refill()) {
      if (failed_) return -1;
      if (inputBytes_ == 0) return fail("empty stream (no package data)");
      return fail("compressed data ends early (truncated package)");
    }
    int rc = inflate(&zs_, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      memberEnded_ = true;
      break;
    }
    if (rc == Z_DATA_ERROR) {
      return fail(std::string("corrupt compressed data: ") + (zs_.msg ? zs_.msg : "invalid"));
    }
    if (rc == Z_MEM_ERROR) return fail("out of memory while decompressing");
    if (rc != Z_OK && rc != Z_BUF_ERROR) return fail("decompression failed");
  }
  return static_cast<long>(wanted - zs_.avail_out);
}

bool GzipReader::finish() {
  if (failed_) return false;
  if (!memberEnded_) {
    fail("decompressed data goes on after the archive's end");
    return false;
  }
  // Padding (zero bytes) after the member is tolerated: media and transfers
  // may round a file up. Anything else is not part of this package.
  for (;;) {
    const unsigned char* p = zs_.next_in;
    for (uInt i = 0; i < zs_.avail_in; ++i) {
      if (p[i] != 0) {
        fail("unexpected data after the end of the package");
        return false;
      }
    }
    zs_.avail_in = 0;
    if (!refill()) return !failed_;
  }
}

std::string GzipReader::unusedInput() const {
  if (zs_.avail_in == 0) return std::string();
  return std::string(reinterpret_cast<const char*>(zs_.next_in), zs_.avail_in);
}

GzipWriter::GzipWriter(std::ostream& out, int level) : out_(out), output_(new char[kOutputBlock]) {
  if (deflateInit2(&zs_, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) ==
      Z_OK) {
    ready_ = true;
  } else {
    error_ = "cannot start compression";
  }
}

GzipWriter::~GzipWriter() { deflateEnd(&zs_); }

bool GzipWriter::pump(int flush) {
  for (;;) {
    zs_.next_out = reinterpret_cast<Bytef*>(output_.get());
    zs_.avail_out = static_cast<uInt>(kOutputBlock);
    int rc = deflate(&zs_, flush);
    if (rc == Z_STREAM_ERROR) {
      error_ = "compression failed";
      return false;
    }
    size_t produced = kOutputBlock - zs_.avail_out;
    if (produced > 0 && !out_.write(output_.get(), static_cast<std::streamsize>(produced))) {
      error_ = "write error";
      return false;
    }
    if (flush == Z_FINISH ? rc == Z_STREAM_END : (zs_.avail_in == 0 && zs_.avail_out != 0)) {
      return true;
    }
  }
}

bool GzipWriter::write(const char* data, size_t size) {
  if (!ready_) return false;
  while (size > 0) {
    uInt chunk = clampToUInt(size);
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs_.avail_in = chunk;
    if (!pump(Z_NO_FLUSH)) return false;
    data += chunk;
    size -= chunk;
  }
  return true;
}

bool GzipWriter::finish() {
  if (!ready_) return false;
  zs_.next_in = nullptr;
  zs_.avail_in = 0;
  if (!pump(Z_FINISH)) return false;
  ready_ = false;
  if (!out_.flush()) {
    error_ = "write error";
    return false;
  }
  return true;
}

}  // namespace libinstall
