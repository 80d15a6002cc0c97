#include "server/server_protocol.h"

#include <cstring>

namespace {

// Line `index` (0 = the tag line) of a text payload, without its "\n",
// stopping at a zero byte.
std::string payloadLine(const NetMessage& message, int index) {
  const char* text = message.payloadText();
  size_t length = strnlen(text, message.payloadLength());
  size_t start = 0;
  for (int line = 0; line < index; ++line) {
    const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
    if (end == nullptr) return "";
    start = end - text + 1;
  }
  const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
  size_t stop = end != nullptr ? static_cast<size_t>(end - text) : length;
  return std::string(text + start, stop - start);
}

// What an installer sent, as it may appear in the operator's log.
std::string printable(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  }
  return result;
}

}  // namespace

ServerProtocol::ServerProtocol(const uint8_t* ownAddress, LinkConfig config, ClientLog log)
    : config_(std::move(config)), log_(std::move(log)) {
  memcpy(ownAddress_, ownAddress, kMacSize);
}

size_t ServerProtocol::handle(const NetMessage& request, size_t length, NetMessage& reply,
                              int64_t nowSeconds) {
  if (length < kHeaderSize || length != request.datagramLength()) return 0;
  const uint8_t* source = request.source();
  // Our own broadcasts come back to us; a station without address is nobody.
  if (isZeroMac(source) || memcmp(source, ownAddress_, kMacSize) == 0) return 0;
  Mac client;
  memcpy(client.data(), source, kMacSize);
  bool forUs = memcmp(request.target(), ownAddress_, kMacSize) == 0;
  bool opening = request.payloadBeginsWith(messageTag(MessageType::discover)) ||
                 request.payloadBeginsWith(messageTag(MessageType::drivers));
  if (opening && isZeroMac(request.target())) {
    Session& session = sessions_[client];
    session.lastSeen = nowSeconds;
    return openLink(request, session, client, reply);
  }
  if (!forUs) return 0;
  auto found = sessions_.find(client);
  if (found == sessions_.end()) return 0;
  Session& session = found->second;
  session.lastSeen = nowSeconds;
  // The installer took the candidate's opening reply: it has started over.
  if (session.candidate && request.sequence() == 1 && request.acknowledgement() == 1) {
    session.current = std::move(session.candidate);
  }
  if (!session.current) return 0;
  auto log = [this, &client](const std::string& text) { log_(client.data(), text); };
  uint16_t taken = session.current->clientSequence();
  size_t replyLength = session.current->handle(request, reply, log);
  // The installer went on with the running link after the broadcast: it was
  // a late copy. Left waiting, the candidate would take over when the
  // running link's numbers wrap and its next request is numbered 1 again.
  if (session.current->clientSequence() != taken) session.candidate.reset();
  return replyLength;
}

size_t ServerProtocol::openLink(const NetMessage& request, Session& session, const Mac& client,
                                NetMessage& reply) {
  auto log = [this, &client](const std::string& text) { log_(client.data(), text); };
  bool drivers = request.payloadBeginsWith(messageTag(MessageType::drivers));
  ClientLink::Phase phase = drivers ? ClientLink::Phase::driversOffered : ClientLink::Phase::offered;
  std::unique_ptr<ClientLink>& slot =
      (session.current && session.current->used()) ? session.candidate : session.current;
  // A repetition of the broadcast that opened the pending link: the same
  // reply again, without a word in the log.
  if (slot && !slot->used() && slot->phase() == phase) {
    memcpy(reply.bytes, slot->openingReply().bytes, slot->openingReplyLength());
    return slot->openingReplyLength();
  }
  if (drivers) {
    slot = ClientLink::offerDrivers(config_, ownAddress_, client.data(), payloadLine(request, 1),
                                    log);
  } else {
    log("found, disk label \"" + printable(payloadLine(request, 3)) + "\"");
    slot = ClientLink::offer(config_, ownAddress_, client.data());
    log(config_.keep ? "offered installation, keeping the old configuration"
                     : "offered installation");
  }
  memcpy(reply.bytes, slot->openingReply().bytes, slot->openingReplyLength());
  return slot->openingReplyLength();
}

void ServerProtocol::expire(int64_t nowSeconds, int64_t fileSeconds, int64_t forgetSeconds) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    int64_t silent = nowSeconds - it->second.lastSeen;
    if (silent > forgetSeconds) {
      it = sessions_.erase(it);
      continue;
    }
    if (silent > fileSeconds && it->second.current && it->second.current->sendingFile()) {
      const uint8_t* client = it->first.data();
      it->second.current->abandon([this, client](const std::string& text) { log_(client, text); });
    }
    ++it;
  }
}

ClientLink* ServerProtocol::linkOf(const uint8_t* client) {
  Mac key;
  memcpy(key.data(), client, kMacSize);
  auto found = sessions_.find(key);
  return found == sessions_.end() ? nullptr : found->second.current.get();
}
