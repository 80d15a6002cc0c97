#pragma once
// What the server's socket knows of a received datagram besides its bytes.

#include <cstddef>
#include <cstdint>

#include "netinstall/net_message.h"

struct ReceivedDatagram {
  // Its whole length: beyond the buffer for an oversized one, whose first
  // bytes only are kept.
  size_t length = 0;
  // It came in IP fragments. Requests are small: never one of ours.
  bool fragmented = false;
  // The Ethernet source of its frame, when the socket sees frames; without
  // it only the address the sender wrote in its header is known.
  bool sourceKnown = false;
  uint8_t frameSource[kMacSize] = {};
};
