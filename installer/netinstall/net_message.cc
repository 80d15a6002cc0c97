#include "netinstall/net_message.h"

#include <cstring>

namespace {

constexpr const char* kTags[kMessageTypeCount] = {
    "DSCV", "OFFR", "YACK", "NACK", "STRT", "TERM", "WTRM", "FILE", "RETR", "DRVR", "OFDR",
    "UPRP", "UPOK",
};

}  // namespace

const char* messageTag(MessageType type) { return kTags[static_cast<int>(type)]; }

bool isZeroMac(const uint8_t* mac) {
  for (size_t i = 0; i < kMacSize; ++i) {
    if (mac[i] != 0) return false;
  }
  return true;
}

void NetMessage::clear() { memset(bytes, 0, sizeof bytes); }

void NetMessage::setSource(const uint8_t* mac) { memcpy(bytes, mac, kMacSize); }

void NetMessage::setTarget(const uint8_t* mac) { memcpy(bytes + kMacSize, mac, kMacSize); }

bool NetMessage::payloadBeginsWith(const char* tag) const {
  return payloadLength() >= kTagSize && memcmp(payload(), tag, kTagSize) == 0;
}

bool NetMessage::setPayloadText(const char* text, bool withTerminator) {
  size_t length = strlen(text) + (withTerminator ? 1 : 0);
  return setPayloadBytes(text, length);
}

bool NetMessage::setPayloadBytes(const void* data, size_t length) {
  if (length > kMaxPayload) return false;
  memcpy(payload(), data, length);
  setPayloadLength(static_cast<uint16_t>(length));
  return true;
}
