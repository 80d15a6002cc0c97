#include "server/protocol/server_protocol.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "netinstall/mac_address.h"
#include "server/lab/lab_machines.h"
#include "server/protocol/wall_clock.h"

#include "server/protocol/session_limits.h"

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

// Held stations remembered so that each is logged once while it waits.
constexpr size_t kMostHeldAnnounced = 1024;

}  // namespace

ServerProtocol::ServerProtocol(const uint8_t* ownAddress, LinkConfig config, ClientLog log,
                               size_t mostInstallers)
    : config_(std::move(config)),
      mostInstallers_(mostInstallers > 0 ? mostInstallers : 1),
      log_(std::move(log)) {
  memcpy(ownAddress_, ownAddress, kMacSize);
}

size_t ServerProtocol::handle(const NetMessage& request, const ReceivedDatagram& arrival,
                              NetMessage& reply, int64_t nowSeconds) {
  size_t length = arrival.length;
  if (length > kMessageSize) {
    ++counts_.oversized;
    return 0;
  }
  if (arrival.fragmented || length < kHeaderSize || length != request.datagramLength()) {
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
  if (arrival.sourceKnown && memcmp(source, arrival.frameSource, kMacSize) != 0) {
    noteForged(source, arrival.frameSource);
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
    if (request.payloadBeginsWith(messageTag(MessageType::discover)) &&
        held(client, printable(payloadLine(request, 3).substr(0, 64)))) {
      return 0;
    }
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
  if (entry == offered_.end()) {
    while (offered_.size() >= kMostOfferedStations) {
      forgetOffered(offered_.find(offeredAge_.front()));
    }
    entry = offered_.emplace(client, Offered{}).first;
    entry->second.age = offeredAge_.insert(offeredAge_.end(), client);
  }
  Offered& offered = entry->second;
  offered.lastSeen = now;
  offeredAge_.splice(offeredAge_.end(), offeredAge_, offered.age);
  expireHolds(now);
  if (offered.heldUntil == 0) {
    if (!makeRoom(now)) {
      // No answer: the station asks again every second, and is offered the
      // installation as soon as a session ends.
      if (!offered.waiting) {
        offered.waiting = true;
        ++counts_.stationsWaited;
        if (counts_.stationsWaited <= kLoggedStationsPerReport) {
          log_(client.data(),
               serverEvent("waiting", "waiting for room: " + std::to_string(mostInstallers_) +
                                          " installers at once",
                           {{"limit", mostInstallers_}}));
        }
      }
      return 0;
    }
    hold(offered, client, now);
  }
  offered.waiting = false;
  // A repetition of the broadcast that opened the pending link gets the
  // same reply again, without a word in the log.
  if (!offered.offered || offered.drivers != drivers || offered.release != release) {
    if (!offered.offered) ++counts_.stationsFound;
    offered.offered = true;
    offered.drivers = drivers;
    offered.release = release;
    // The installer sends at most 31 characters; more are shown cut.
    offered.label = drivers ? "" : printable(payloadLine(request, 3).substr(0, 64));
    // Past the first few per report, an offer gets its events only once
    // the station takes it: a flood of forged discoveries fills no log.
    offered.logged = counts_.stationsFound <= kLoggedStationsPerReport;
    if (offered.logged) logOpening(client, drivers, release, offered.label);
  }
  return ClientLink::composeOpening(config_, drivers, ownAddress_, client.data(), reply);
}

void ServerProtocol::logOpening(const Mac& client, bool drivers, const std::string& release,
                                const std::string& label) {
  if (drivers) {
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
  nlohmann::json found = {{"label", label}};
  std::string named;
  bool keep = config_.keep;
  if (config_.lab != nullptr) {
    std::string name, group;
    config_.lab->identity(client.data(), name, group);
    if (!name.empty()) found["name"] = name;
    if (!group.empty()) found["group"] = group;
    if (!name.empty() || !group.empty()) {
      named = " (" + (name.empty() ? "not in the inventory" : name) +
              (group.empty() ? "" : ", group " + group) + ")";
    }
    keep = config_.lab->keepFor(client.data(), config_.keep);
  }
  log_(client.data(), serverEvent("found", "found, disk label \"" + label + "\"" + named, found));
  log_(client.data(),
       serverEvent("offered",
                   keep ? "offered installation, keeping the old configuration"
                        : "offered installation",
                   {{"keep", keep}}));
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
    logOpening(client, drivers, release,
               drivers ? "" : printable(payloadLine(request, 3).substr(0, 64)));
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
  // One that skipped the discovery is checked when it asks to start.
  expireHolds(now);
  bool held = entry != offered_.end() && entry->second.heldUntil != 0;
  // Without its offer's place (it took an offer made long ago, or made to
  // it before its entry was pushed out) it needs room like a newcomer; if
  // there is none, it hears nothing and finds the server again later.
  if (!held && !makeRoom(now)) return 0;
  std::unique_ptr<ClientLink> link =
      drivers ? ClientLink::offerDrivers(config_, ownAddress_, client.data(), entry->second.release)
              : ClientLink::offer(config_, ownAddress_, client.data());
  // An offer that was counted rather than logged gets its events now: the
  // board and the events file follow every session from its first word.
  if (entry != offered_.end() && !entry->second.logged) {
    entry->second.logged = true;
    logOpening(client, drivers, entry->second.release, entry->second.label);
  }
  auto log = [this, &client](const ServerEvent& event) { log_(client.data(), event); };
  size_t replyLength = link->handle(request, reply, log);
  if (!link->used()) return replyLength;  // nothing taken: no session either
  if (entry != offered_.end()) forgetOffered(entry);
  Session& session = sessions_[client];
  session.current = std::move(link);
  session.lastSeen = now;
  return replyLength;
}

bool ServerProtocol::makeRoom(int64_t now) {
  if (sessions_.size() + held_ < mostInstallers_) return true;
  // The session that has outlived its limit the longest ago, finished ones
  // first: their installers are gone.
  auto chosen = sessions_.end();
  int64_t chosenPast = 0;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    const Session& session = it->second;
    int64_t limit = !session.current             ? 0
                    : session.current->finished() ? kFinishedSilenceSeconds
                    : session.current->busy()     ? kBusySilenceSeconds
                                                  : kAskingSilenceSeconds;
    int64_t past = now - session.lastSeen - limit;
    if (past < 0) continue;
    if (chosen == sessions_.end() || past > chosenPast) {
      chosen = it;
      chosenPast = past;
    }
  }
  if (chosen == sessions_.end()) return false;
  sessions_.erase(chosen);  // its open file closes with it
  ++counts_.installersDropped;
  return sessions_.size() + held_ < mostInstallers_;
}

void ServerProtocol::hold(Offered& offered, const Mac& client, int64_t now) {
  offered.heldUntil = now + kOfferHoldSeconds;
  holds_.emplace_back(offered.heldUntil, client);
  ++held_;
}

void ServerProtocol::releaseHold(Offered& offered) {
  if (offered.heldUntil == 0) return;
  offered.heldUntil = 0;
  --held_;
}

void ServerProtocol::expireHolds(int64_t now) {
  while (!holds_.empty() && holds_.front().first <= now) {
    auto entry = offered_.find(holds_.front().second);
    if (entry != offered_.end() && entry->second.heldUntil == holds_.front().first) {
      releaseHold(entry->second);
    }
    holds_.pop_front();
  }
}

void ServerProtocol::forgetOffered(std::map<Mac, Offered>::iterator entry) {
  releaseHold(entry->second);
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

void ServerProtocol::noteForged(const uint8_t* claimed, const uint8_t* frameSource) {
  ++counts_.forged;
  memcpy(lastForged_.claimed.data(), claimed, kMacSize);
  memcpy(lastForged_.source.data(), frameSource, kMacSize);
}

void ServerProtocol::report() {
  if (counts_.malformed > 0 || counts_.oversized > 0) {
    log_(nullptr, serverEvent("dropped",
                              "dropped " + std::to_string(counts_.malformed) + " malformed and " +
                                  std::to_string(counts_.oversized) + " oversized datagrams",
                              {{"malformed", counts_.malformed}, {"oversized", counts_.oversized}}));
  }
  // One line per report however many came: a forger fills no log. A
  // server-wide event: the board gets no row for an address only claimed.
  if (counts_.forged > 0) {
    char claimed[kMacTextSize], source[kMacTextSize];
    formatMacAddressInto(lastForged_.claimed.data(), claimed);
    formatMacAddressInto(lastForged_.source.data(), source);
    log_(nullptr, serverEvent("forged",
                              "not served: " + std::to_string(counts_.forged) +
                                  " requests whose header claims another hardware address than "
                                  "their frame's source (the last from " + source + ", claiming " +
                                  claimed + ")",
                              {{"count", counts_.forged}, {"source", source}, {"claimed", claimed}}));
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
                                  " finished or silent installers to make room: at most " +
                                  std::to_string(mostInstallers_) + " at once",
                              {{"count", counts_.installersDropped}}));
  }
  if (counts_.stationsWaited > 0) {
    log_(nullptr, serverEvent("waiting-for-room",
                              std::to_string(counts_.stationsWaited) +
                                  " stations waited for room: at most " +
                                  std::to_string(mostInstallers_) + " installers at once",
                              {{"count", counts_.stationsWaited}, {"limit", mostInstallers_}}));
  }
  totals_.malformed += counts_.malformed;
  totals_.oversized += counts_.oversized;
  totals_.forged += counts_.forged;
  totals_.stationsFound += counts_.stationsFound;
  totals_.installersDropped += counts_.installersDropped;
  totals_.upRefused += counts_.upRefused;
  totals_.stationsWaited += counts_.stationsWaited;
  counts_ = Counts{};
}

ProtocolTotals ServerProtocol::totals() const {
  ProtocolTotals all = totals_;
  all.malformed += counts_.malformed;
  all.oversized += counts_.oversized;
  all.forged += counts_.forged;
  all.stationsFound += counts_.stationsFound;
  all.installersDropped += counts_.installersDropped;
  all.upRefused += counts_.upRefused;
  all.stationsWaited += counts_.stationsWaited;
  return all;
}

void ServerProtocol::visitSessions(const SessionVisitor& visit) const {
  for (const auto& [client, session] : sessions_) {
    if (session.current) visit(client.data(), session.lastSeen, session.current->fileOffset());
  }
}

void ServerProtocol::visitWaiting(const WaitingVisitor& visit) const {
  for (const auto& [client, offered] : offered_) {
    if (offered.waiting) visit(client.data(), offered.lastSeen);
  }
}

ClientLink* ServerProtocol::linkOf(const uint8_t* client) {
  Mac key;
  memcpy(key.data(), client, kMacSize);
  auto found = sessions_.find(key);
  return found == sessions_.end() ? nullptr : found->second.current.get();
}

bool ServerProtocol::held(const Mac& client, const std::string& label) {
  std::string reason;
  if (config_.lab->admit(client.data(), label, reason)) {
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
