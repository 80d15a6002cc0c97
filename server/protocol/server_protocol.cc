#include "server/protocol/server_protocol.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "server/lab/lab_machines.h"

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

int64_t epochMillisNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Held stations remembered so that each is logged once while it waits.
constexpr size_t kMostHeldAnnounced = 1024;

}  // namespace

ServerProtocol::ServerProtocol(const uint8_t* ownAddress, LinkConfig config, ClientLog log)
    : config_(std::move(config)), log_(std::move(log)) {
  memcpy(ownAddress_, ownAddress, kMacSize);
}

size_t ServerProtocol::handle(const NetMessage& request, size_t length, NetMessage& reply,
                              int64_t nowSeconds) {
  if (length > kMessageSize) {
    ++counts_.oversized;
    return 0;
  }
  if (length < kHeaderSize || length != request.datagramLength()) {
    ++counts_.malformed;
    return 0;
  }
  const uint8_t* source = request.source();
  // Our own broadcasts come back to us.
  if (memcmp(source, ownAddress_, kMacSize) == 0) return 0;
  if (isZeroMac(source)) {  // a station without address is nobody
    ++counts_.malformed;
    return 0;
  }
  Mac client;
  memcpy(client.data(), source, kMacSize);
  if (request.payloadBeginsWith(messageTag(MessageType::upReport))) {
    if (!isZeroMac(request.target()) && memcmp(request.target(), ownAddress_, kMacSize) != 0) {
      return 0;
    }
    return answerUpReport(request, client, reply);
  }
  bool opening = request.payloadBeginsWith(messageTag(MessageType::discover)) ||
                 request.payloadBeginsWith(messageTag(MessageType::drivers));
  if (opening && isZeroMac(request.target())) {
    return answerOpening(request, client, reply, nowSeconds);
  }
  if (memcmp(request.target(), ownAddress_, kMacSize) != 0) return 0;
  auto found = sessions_.find(client);
  if (found == sessions_.end()) return beginSession(request, client, reply, nowSeconds);
  Session& session = found->second;
  session.lastSeen = nowSeconds;
  // The installer took the candidate's opening reply: it has started over.
  if (session.candidate && request.sequence() == 1 && request.acknowledgement() == 1) {
    session.current = std::move(session.candidate);
  }
  if (!session.current) return 0;
  auto log = [this, &client](const ServerEvent& event) { log_(client.data(), event); };
  uint16_t taken = session.current->clientSequence();
  size_t replyLength = session.current->handle(request, reply, log);
  // The installer went on with the running link after the broadcast: it was
  // a late copy. Left waiting, the candidate would take over when the
  // running link's numbers wrap and its next request is numbered 1 again.
  if (session.current->clientSequence() != taken) session.candidate.reset();
  return replyLength;
}

size_t ServerProtocol::answerOpening(const NetMessage& request, const Mac& client,
                                     NetMessage& reply, int64_t now) {
  if (config_.lab != nullptr) {
    config_.lab->noteRequest(client.data(), epochMillisNow());
    // Drivers it may have: an installed machine's installer waits for the
    // operator with them, and starts at once when armed.
    if (request.payloadBeginsWith(messageTag(MessageType::discover)) && held(client)) return 0;
  }
  auto found = sessions_.find(client);
  if (found != sessions_.end()) {
    if (found->second.current && found->second.current->used()) {
      found->second.lastSeen = now;
      return openCandidate(request, found->second, client, reply);
    }
    sessions_.erase(found);  // a link that never took a request: nothing to keep
  }
  bool drivers = request.payloadBeginsWith(messageTag(MessageType::drivers));
  // A longer text names no kernel: what is kept of it is enough to say so.
  std::string release = drivers ? payloadLine(request, 1).substr(0, kLongestRelease + 1) : "";
  auto entry = offered_.find(client);
  bool fresh = entry == offered_.end();
  if (fresh) {
    while (offered_.size() >= kMostOfferedStations) {
      forgetOffered(offered_.find(offeredAge_.front()));
    }
    entry = offered_.emplace(client, Offered{}).first;
    entry->second.age = offeredAge_.insert(offeredAge_.end(), client);
    ++counts_.stationsFound;
  }
  Offered& offered = entry->second;
  offered.lastSeen = now;
  offeredAge_.splice(offeredAge_.end(), offeredAge_, offered.age);
  // A repetition of the broadcast that opened the pending link gets the
  // same reply again, without a word in the log.
  if (fresh || offered.drivers != drivers || offered.release != release) {
    offered.drivers = drivers;
    offered.release = release;
    if (counts_.stationsFound <= kLoggedStationsPerReport) logOpening(request, client, release);
  }
  return ClientLink::composeOpening(config_, drivers, ownAddress_, client.data(), reply);
}

void ServerProtocol::logOpening(const NetMessage& request, const Mac& client,
                                const std::string& release) {
  if (request.payloadBeginsWith(messageTag(MessageType::drivers))) {
    ServedFile driver;
    bool found = findDriverFile(config_.root, release, driver);
    std::string text = found ? "asks for the drivers of kernel " + release +
                                   ": offering drivers/" + driver.name
                             : "asks for the drivers of kernel \"" + printable(release) +
                                   "\": there is no such file in drivers/";
    nlohmann::json fields = {{"release", printable(release)}};
    if (found) fields["file"] = driver.name;
    log_(client.data(), serverEvent("drivers", text, std::move(fields)));
    return;
  }
  // The installer sends at most 31 characters; more are shown cut.
  std::string label = printable(payloadLine(request, 3).substr(0, 64));
  log_(client.data(), serverEvent("found", "found, disk label \"" + label + "\"", {{"label", label}}));
  log_(client.data(),
       serverEvent("offered",
                   config_.keep ? "offered installation, keeping the old configuration"
                                : "offered installation",
                   {{"keep", config_.keep}}));
}

size_t ServerProtocol::openCandidate(const NetMessage& request, Session& session,
                                     const Mac& client, NetMessage& reply) {
  bool drivers = request.payloadBeginsWith(messageTag(MessageType::drivers));
  ClientLink::Phase phase =
      drivers ? ClientLink::Phase::driversOffered : ClientLink::Phase::offered;
  // A repetition of the broadcast that opened the waiting candidate.
  if (!session.candidate || session.candidate->used() || session.candidate->phase() != phase) {
    std::string release = drivers ? payloadLine(request, 1).substr(0, kLongestRelease + 1) : "";
    session.candidate = drivers
                            ? ClientLink::offerDrivers(config_, ownAddress_, client.data(), release)
                            : ClientLink::offer(config_, ownAddress_, client.data());
    logOpening(request, client, release);
  }
  memcpy(reply.bytes, session.candidate->openingReply().bytes,
         session.candidate->openingReplyLength());
  return session.candidate->openingReplyLength();
}

size_t ServerProtocol::beginSession(const NetMessage& request, const Mac& client,
                                    NetMessage& reply, int64_t now) {
  // Only the first request of a link that our opening reply began.
  if (request.sequence() != 1 || request.acknowledgement() != 1) return 0;
  auto entry = offered_.find(client);
  bool drivers = entry != offered_.end() && entry->second.drivers;
  // The offer is the same for every station: taking it needs no entry. A
  // driver offer names a kernel, which only the entry knows.
  if (entry == offered_.end() && !request.payloadBeginsWith(messageTag(MessageType::acceptOffer))) {
    return 0;
  }
  if (!drivers && config_.lab != nullptr && held(client)) return 0;
  std::unique_ptr<ClientLink> link =
      drivers ? ClientLink::offerDrivers(config_, ownAddress_, client.data(), entry->second.release)
              : ClientLink::offer(config_, ownAddress_, client.data());
  auto log = [this, &client](const ServerEvent& event) { log_(client.data(), event); };
  size_t replyLength = link->handle(request, reply, log);
  if (!link->used()) return replyLength;  // nothing taken: no session either
  if (entry != offered_.end()) forgetOffered(entry);
  if (sessions_.size() >= kMostInstallers) {
    auto silent = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.lastSeen < silent->second.lastSeen) silent = it;
    }
    sessions_.erase(silent);  // its open file closes with it
    ++counts_.installersDropped;
  }
  Session& session = sessions_[client];
  session.current = std::move(link);
  session.lastSeen = now;
  return replyLength;
}

void ServerProtocol::forgetOffered(std::map<Mac, Offered>::iterator entry) {
  offeredAge_.erase(entry->second.age);
  offered_.erase(entry);
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
      it->second.current->abandon(
          [this, client](const ServerEvent& event) { log_(client, event); });
    }
    ++it;
  }
  // An offer not taken for as long as a file would stay open has been given
  // up: the installer asks again every second while it looks for a server.
  while (!offeredAge_.empty()) {
    auto oldest = offered_.find(offeredAge_.front());
    if (nowSeconds - oldest->second.lastSeen <= fileSeconds) break;
    forgetOffered(oldest);
  }
}

void ServerProtocol::report() {
  if (counts_.malformed > 0 || counts_.oversized > 0) {
    log_(nullptr, serverEvent("dropped",
                              "dropped " + std::to_string(counts_.malformed) + " malformed and " +
                                  std::to_string(counts_.oversized) + " oversized datagrams",
                              {{"malformed", counts_.malformed}, {"oversized", counts_.oversized}}));
  }
  if (counts_.stationsFound > kLoggedStationsPerReport) {
    uint64_t unlogged = counts_.stationsFound - kLoggedStationsPerReport;
    log_(nullptr, serverEvent("unlogged-stations",
                              std::to_string(unlogged) +
                                  " more stations asked for an offer (not logged one by one)",
                              {{"count", unlogged}}));
  }
  if (counts_.installersDropped > 0) {
    log_(nullptr, serverEvent("forgot-installers",
                              "forgot " + std::to_string(counts_.installersDropped) +
                                  " installers silent the longest: more than " +
                                  std::to_string(kMostInstallers) + " at once",
                              {{"count", counts_.installersDropped}}));
  }
  totals_.malformed += counts_.malformed;
  totals_.oversized += counts_.oversized;
  totals_.stationsFound += counts_.stationsFound;
  totals_.installersDropped += counts_.installersDropped;
  totals_.upRefused += counts_.upRefused;
  counts_ = Counts{};
}

ProtocolTotals ServerProtocol::totals() const {
  ProtocolTotals all = totals_;
  all.malformed += counts_.malformed;
  all.oversized += counts_.oversized;
  all.stationsFound += counts_.stationsFound;
  all.installersDropped += counts_.installersDropped;
  all.upRefused += counts_.upRefused;
  return all;
}

void ServerProtocol::visitSessions(const SessionVisitor& visit) const {
  for (const auto& [client, session] : sessions_) {
    if (session.current) visit(client.data(), session.lastSeen, session.current->fileOffset());
  }
}

ClientLink* ServerProtocol::linkOf(const uint8_t* client) {
  Mac key;
  memcpy(key.data(), client, kMacSize);
  auto found = sessions_.find(key);
  return found == sessions_.end() ? nullptr : found->second.current.get();
}

bool ServerProtocol::held(const Mac& client) {
  std::string reason;
  if (config_.lab->mayInstall(client.data(), reason)) {
    heldAnnounced_.erase(client);
    return false;
  }
  if (heldAnnounced_.count(client) == 0) {
    if (heldAnnounced_.size() >= kMostHeldAnnounced) heldAnnounced_.clear();
    heldAnnounced_.insert(client);
    log_(client.data(), serverEvent("held", "held: " + reason, {{"reason", reason}}));
  }
  return true;
}

size_t ServerProtocol::answerUpReport(const NetMessage& request, const Mac& client,
                                      NetMessage& reply) {
  if (config_.lab == nullptr) return 0;  // nothing to check a token against
  std::string token = payloadLine(request, 1).substr(0, 2 * kTokenBytes + 1);
  int64_t upAfter = 0;
  UpResult result = config_.lab->upReport(client.data(), token, epochMillisNow(), upAfter);
  const char* refusal = nullptr;
  switch (result) {
    case UpResult::accepted: {
      double seconds = static_cast<double>(upAfter) / 1000.0;
      char text[64];
      snprintf(text, sizeof text, "up: %.0f s after its first request", seconds);
      log_(client.data(), serverEvent("up", text, {{"seconds", seconds}}));
      break;
    }
    case UpResult::repeated: break;
    case UpResult::wrongToken: refusal = "wrong token"; break;
    case UpResult::replayed: refusal = "token of an earlier installation"; break;
    case UpResult::notInstalled: refusal = "no installation known"; break;
  }
  if (refusal != nullptr) {
    ++counts_.upRefused;
    log_(client.data(), serverEvent("up-refused", std::string("up report refused: ") + refusal,
                                    {{"reason", refusal}}));
    return 0;
  }
  reply.clear();
  (void)reply.setPayloadBytes(messageTag(MessageType::upConfirmed), kTagSize);  // fits always
  reply.setSource(ownAddress_);
  reply.setTarget(client.data());
  reply.setSequence(1);
  reply.setAcknowledgement(request.sequence());
  return reply.datagramLength();
}
