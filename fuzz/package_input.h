#pragma once
// The package targets' input: a first byte that says how the rest becomes a
// package stream, so that mutations reach the archive and its members, not
// only the compression around them. An even byte: the rest is the
// uncompressed archive, which the target wraps into a gzip member of stored
// blocks (intact, checksummed, and cheap to make); an odd one: the rest is
// the package file as it stands, compression and all.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

inline void appendLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

// `length` bytes as one gzip member of stored blocks: intact, checksummed,
// and far cheaper to make than deflating them.
inline std::string storedGzip(const uint8_t* rest, size_t length) {
  // RFC 1952 header (deflate, no flags, no time, any OS), RFC 1951 stored
  // blocks of at most 65535 bytes, then CRC-32 and length.
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  size_t at = 0;
  do {
    size_t piece = length - at < 65535 ? length - at : 65535;
    out += static_cast<char>(at + piece == length ? 1 : 0);  // the last block?
    appendLittleEndian(out, static_cast<uint32_t>(piece), 2);
    appendLittleEndian(out, static_cast<uint32_t>(~piece & 0xFFFF), 2);
    out.append(reinterpret_cast<const char*>(rest + at), piece);
    at += piece;
  } while (at < length);
  appendLittleEndian(out, static_cast<uint32_t>(crc32(0, rest, static_cast<uInt>(length))), 4);
  appendLittleEndian(out, static_cast<uint32_t>(length), 4);
  return out;
}

inline std::string packageBytes(const uint8_t* data, size_t size) {
  if (size == 0) return "";
  if (data[0] & 1) return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  return storedGzip(data + 1, size - 1);
}

}  // namespace fuzz
