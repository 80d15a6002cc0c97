#pragma once
// The installed system's first start, reported to the server that installed
// it: the installation's token (up-token.scr, written by the installer) goes
// out in one "UPRP" datagram per interface, the way the installer talks to
// the server (a broadcast to the protocol port, no IP configuration), until
// the server confirms it ("UPOK") or the tries run out. A router without its
// server must still start: nothing here ever stops the system's start.

#include <cstdint>
#include <string>

#include "netinstall/net_message.h"

struct UpToken {
  std::string token;             // hex text, as the server made it
  uint8_t server[kMacSize] = {};  // the server that installed this system
};

// Reads the token file's text ("token: HEX" and "server: MAC" lines; others
// are comments). False for a text without both.
[[nodiscard]] bool parseUpToken(const std::string& text, UpToken& token);

// The report datagram from the card with hardware address `own`; returns its
// length.
size_t composeUpReport(const UpToken& token, const uint8_t* own, uint16_t sequence,
                       NetMessage& message);

// Whether `reply` (of `length` bytes) is the server's confirmation of the
// report numbered `sequence` sent from `own`.
bool isUpConfirmation(const NetMessage& reply, size_t length, const UpToken& token,
                      const uint8_t* own, uint16_t sequence);
