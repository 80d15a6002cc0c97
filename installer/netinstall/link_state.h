#pragma once
// The client's side of one request/reply link with an installation server:
// each request it stamps carries the next sequence number, and it accepts
// exactly one reply per request, the one numbered one past the last reply it
// accepted. Plain logic: no sockets, no clock.

#include <cstdint>

#include "netinstall/net_message.h"

struct LinkState {
  // Sequence number of the last message stamped, and of the last server
  // message accepted. Both count modulo 65536, as they travel in 16 bits.
  uint32_t sentCount = 0;
  uint32_t receivedCount = 0;
  uint8_t ownAddress[kMacSize] = {};   // the client's interface in use
  uint8_t peerAddress[kMacSize] = {};  // the server; all zero while none is known
  // Whether requests go to the server's hardware address alone once it is
  // known (see NetEndpoint::sendRequest). Cleared for the rest of the run
  // when frames sent that way find no answer: a server may write a header
  // address that its card does not receive on.
  bool directRequests = true;

  // Both addresses zero, both counters 0, requests direct again.
  void clear();
  void resetCounters();

  // Fills the header of `message` for sending: payloadLength, the next own
  // sequence number, the acknowledgement of the last accepted server message,
  // own address as source and the peer's as target. Reserved bytes are left
  // as they are (zero in a cleared message).
  void stamp(NetMessage& message, uint16_t payloadLength);

  // Whether the `length` received bytes in `message` are the next message of
  // this link: consistent length, not our own looped-back broadcast, meant
  // for us, from our server (any server while none is known), acknowledging
  // nothing we have not sent, and numbered one past the last accepted. On
  // true the message's number becomes the last accepted.
  [[nodiscard]] bool accept(const NetMessage& message, long length);
};
