#pragma once
// Numbers and "name: value" lines of the library's text formats (tar's pax
// records, signature texts, release lists) and of bdl's arguments: one
// reading of each, bounded, for every format.

#include <cstdint>
#include <string>

namespace libinstall {

// Decimal digits only, at most 20 of them, within 64 bits; leading zeros are
// taken (pax records and command lines may have them).
bool parseDecimal(const std::string& text, uint64_t* value);

// parseDecimal without leading zeros: the one way a signed text writes a
// number, so that no second spelling of a signed value exists.
bool parseCanonicalDecimal(const std::string& text, uint64_t* value);

// The value of a line "NAME: VALUE"; false when the line has another name.
bool valueAfter(const std::string& line, const char* name, std::string* value);

}  // namespace libinstall
