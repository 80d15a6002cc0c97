#include "netinstall/link_state.h"

#include <cstring>

namespace {

bool sameMac(const uint8_t* a, const uint8_t* b) { return memcmp(a, b, kMacSize) == 0; }

}  // namespace

void LinkState::clear() {
  memset(ownAddress, 0, sizeof ownAddress);
  memset(peerAddress, 0, sizeof peerAddress);
  resetCounters();
  directRequests = true;
}

void LinkState::resetCounters() {
  sentCount = 0;
  receivedCount = 0;
}

void LinkState::stamp(NetMessage& message, uint16_t payloadLength) {
  message.setPayloadLength(payloadLength);
  message.setAcknowledgement(static_cast<uint16_t>(receivedCount));
  sentCount = nextSequence(sentCount);
  message.setSequence(static_cast<uint16_t>(sentCount));
  message.setSource(ownAddress);
  message.setTarget(peerAddress);
}

bool LinkState::accept(const NetMessage& message, long length) {
  if (length < static_cast<long>(kHeaderSize)) return false;
  if (static_cast<size_t>(length) != message.datagramLength()) return false;
  if (sameMac(message.source(), ownAddress)) return false;
  bool peerKnown = !isZeroMac(peerAddress);
  bool forAnybody = isZeroMac(message.target()) && !peerKnown;
  if (!forAnybody && !sameMac(message.target(), ownAddress)) return false;
  if (peerKnown && !sameMac(message.source(), peerAddress)) return false;
  // Both counters stay below 65536, so after a wrap the comparison is again
  // between the small numbers the link is using now.
  if (message.acknowledgement() > sentCount) return false;
  if (message.sequence() != nextSequence(receivedCount)) return false;
  receivedCount = message.sequence();
  return true;
}
