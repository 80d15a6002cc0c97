#include "up_report.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

bool parseMac(const std::string& text, uint8_t* mac) {
  unsigned bytes[kMacSize];
  char end;
  if (text.size() != 17 || sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1],
                                  &bytes[2], &bytes[3], &bytes[4], &bytes[5], &end) != 6) {
    return false;
  }
  for (size_t i = 0; i < kMacSize; ++i) mac[i] = static_cast<uint8_t>(bytes[i]);
  return true;
}

bool isHexToken(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool parseUpToken(const std::string& text, UpToken& token) {
  std::istringstream lines(text);
  std::string line;
  bool haveToken = false, haveServer = false;
  UpToken result;
  while (std::getline(lines, line)) {
    if (line.rfind("token: ", 0) == 0) {
      result.token = line.substr(7);
      haveToken = isHexToken(result.token);
    } else if (line.rfind("server: ", 0) == 0) {
      haveServer = parseMac(line.substr(8), result.server);
    }
  }
  if (!haveToken || !haveServer) return false;
  token = result;
  return true;
}

size_t composeUpReport(const UpToken& token, const uint8_t* own, uint16_t sequence,
                       NetMessage& message) {
  message.clear();
  std::string text = std::string(messageTag(MessageType::upReport)) + "\n" + token.token + "\n";
  (void)message.setPayloadBytes(text.data(), text.size());  // a token is far below the payload
  message.setSource(own);
  message.setTarget(token.server);
  message.setSequence(sequence);
  message.setAcknowledgement(0);
  return message.datagramLength();
}

bool isUpConfirmation(const NetMessage& reply, size_t length, const UpToken& token,
                      const uint8_t* own, uint16_t sequence) {
  return length >= kHeaderSize && length == reply.datagramLength() &&
         memcmp(reply.source(), token.server, kMacSize) == 0 &&
         memcmp(reply.target(), own, kMacSize) == 0 && reply.acknowledgement() == sequence &&
         reply.payloadBeginsWith(messageTag(MessageType::upConfirmed));
}
