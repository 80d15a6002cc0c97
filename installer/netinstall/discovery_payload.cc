#include "netinstall/discovery_payload.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kShortField = 9;
constexpr int kLongField = 511;
constexpr int kLabelField = 31;

}  // namespace

void composeDiscovery(NetMessage& message, const char* opaqueShort, const char* opaqueLong,
                      const char* label) {
  message.clear();
  char* text = reinterpret_cast<char*>(message.payload());
  // The precisions bound every field, so the whole text (at most 565 bytes)
  // always fits the payload and snprintf never cuts it.
  int length = snprintf(text, kMaxPayload, "%s\n%.*s\n%.*s\n%.*s\n%s\n",
                        messageTag(MessageType::discover), kShortField, opaqueShort, kLongField,
                        opaqueLong, kLabelField, label, kClientArchitecture);
  message.setPayloadLength(static_cast<uint16_t>(length + 1));
}

void composeDriverRequest(NetMessage& message, const char* release) {
  message.clear();
  char* text = reinterpret_cast<char*>(message.payload());
  int length = snprintf(text, kMaxPayload, "%s\n%s", messageTag(MessageType::drivers), release);
  // A release text too long for a datagram is cut; the zero still ends it.
  if (length < 0 || static_cast<size_t>(length) >= kMaxPayload) length = kMaxPayload - 1;
  message.setPayloadLength(static_cast<uint16_t>(length + 1));
}

bool parseOffer(const char* payload, size_t length, char* offerText, size_t offerCapacity,
                bool& keep) {
  const char* end = payload + length;
  const char* tagEnd = static_cast<const char*>(memchr(payload, '\n', length));
  if (tagEnd == nullptr) return false;
  const char* offer = tagEnd + 1;
  const char* offerEnd = static_cast<const char*>(memchr(offer, '\n', end - offer));
  if (offerEnd == nullptr) return false;
  size_t offerLength = offerEnd - offer;
  if (offerCapacity == 0 || offerLength > offerCapacity - 1) return false;
  memmove(offerText, offer, offerLength);
  offerText[offerLength] = '\0';
  const char* third = offerEnd + 1;
  const char* thirdEnd = static_cast<const char*>(memchr(third, '\n', end - third));
  keep = thirdEnd != nullptr && thirdEnd - third == 4 && memcmp(third, "keep", 4) == 0;
  return true;
}
