#pragma once
// An independent one's-complement check for the tests of frames: a header or
// pseudo-header summed with its checksum in place gives 0xFFFF. Written the
// plain way, apart from the code under test. Header-only: the fuzz build
// includes it without the test libraries.

#include <cstddef>
#include <cstdint>
#include <vector>

inline uint16_t onesSum(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    sum += static_cast<uint32_t>(bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0));
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}
