#pragma once
// Text payloads of the discovery and driver exchanges: what the client
// broadcasts and how it reads a server's offer. Plain logic.

#include <cstddef>

#include "netinstall/net_message.h"

// The architecture the client installs, sent in every discovery.
constexpr const char* kClientArchitecture = "i386";

// Clears `message` and writes "DSCV\n" short "\n" long "\n" label "\n" "i386\n"
// with its terminating zero counted in payloadLength. The protocol carries the
// three texts unchanged; texts longer than their fields (9, 511 and 31
// characters) are cut so that the payload always fits.
void composeDiscovery(NetMessage& message, const char* opaqueShort, const char* opaqueLong,
                      const char* label);

// Clears `message` and writes "DRVR\n" and the kernel release, its
// terminating zero counted.
void composeDriverRequest(NetMessage& message, const char* release);

// Reads an "OFFR" payload of exactly `length` bytes: the tag line, the offer
// text line and an optional third line. Returns false (outputs untouched)
// when a line end is missing or the offer text needs more than
// `offerCapacity` - 1 characters. Otherwise copies the offer text into
// `offerText` and sets `keep` when the third line is exactly "keep".
[[nodiscard]] bool parseOffer(const char* payload, size_t length, char* offerText,
                              size_t offerCapacity, bool& keep);
