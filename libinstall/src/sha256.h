#pragma once
// SHA-256 of a whole buffer, as every chunk of a signed package is checked.
// Where the processor has the x86 SHA extensions (most made since about
// 2017), they do the work several times faster than libsodium's portable
// code, which does it everywhere else.

#include <array>
#include <cstddef>

namespace libinstall {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const char* data, size_t size);

// Whether sha256() runs on the SHA extensions here.
bool sha256Accelerated();

}  // namespace libinstall
