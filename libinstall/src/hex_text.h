#pragma once
// Lower-case hexadecimal text for keys, digests and signatures.

#include <cstddef>
#include <string>

namespace libinstall {

std::string toHex(const unsigned char* bytes, size_t size);

// Exactly 2 * size hex digits (either case) into `bytes`; false otherwise.
bool fromHex(const std::string& text, unsigned char* bytes, size_t size);

}  // namespace libinstall
