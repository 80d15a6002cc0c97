#pragma once
// Hardware addresses as the operator reads them: "00:1A:2B:3C:4D:5E".

#include <cstdint>

constexpr int kMacTextSize = 18;  // 17 characters and the terminator

// Writes the text of the six bytes at `mac` into `text`.
void formatMacAddressInto(const uint8_t* mac, char (&text)[kMacTextSize]);

// The text of `mac` in one static buffer that every caller shares: each call
// overwrites the previous text, so print a text before asking for the next.
const char* formatMacAddress(const uint8_t* mac);
