#pragma once
// The installation server's side of the protocol for any number of
// installers at once, each known by its hardware address. Plain logic: the
// caller receives datagrams and broadcasts the replies.
//
// Anybody on the segment can send anything from any address, so what the
// server keeps is bounded whatever arrives:
// - A discovery or driver request from a station the server has no session
//   with costs a small entry among the offered stations (at most
//   kMostOfferedStations; the one offered longest ago makes room). The offer
//   is the same for every station, so a station that lost its entry still
//   gets its installation when it takes the offer.
// - A session (the current link, its reply and its place in the files)
//   begins when a station takes an opening reply with its first request. At
//   most `mostInstallers` exist. No live installer is ever cut off for
//   another: when the table is full, room is made only from sessions that
//   are finished or silent beyond session_limits.h; otherwise a station is
//   not offered anything (it keeps asking, and is taken once there is room).
//   An offer holds its place for kOfferHoldSeconds, so that a station that
//   took a driver offer always finds room for its first request. A session
//   holds at most one open file.
// - Datagrams that are not the protocol's (cut, inconsistent, oversized,
//   fragmented, from a station without address) are counted, dropped and
//   reported in one line per report.
// - Where the socket sees frames, a station is known by its frame's source
//   address: a message whose header claims another address is not served
//   (a station could otherwise be served another machine's files and
//   secrets). Such messages are counted, and reported in one line per
//   report that names the last of them.
//
// A session's current link may have, after a discovery or driver request
// that arrived while the link was in use, a candidate: the installer may
// have started over (its next request is then numbered 1 and acknowledges
// our reply 1), or the broadcast may be a late duplicate that the network
// held back, which must not cut the running transfer off. The candidate is
// dropped as soon as the current link takes a new request.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "netinstall/net_message.h"
#include "server/protocol/client_link.h"
#include "server/protocol/received_datagram.h"
#include "server/protocol/server_event.h"

// One event for the operator about the installer with hardware address
// `client`, or about the server as a whole when `client` is null.
using ClientLog = std::function<void(const uint8_t* client, const ServerEvent& event)>;
// A session's installer, when it last asked (the clock given to handle())
// and the bytes of its open file sent so far.
using SessionVisitor =
    std::function<void(const uint8_t* client, int64_t lastSeen, uint64_t fileOffset)>;
// A station waiting for room, and when it last asked.
using WaitingVisitor = std::function<void(const uint8_t* client, int64_t lastAsked)>;

// What the server dropped or counted rather than logged since it started.
struct ProtocolTotals {
  uint64_t malformed = 0;
  uint64_t oversized = 0;
  uint64_t forged = 0;             // headers that claim another address than their frame's
  uint64_t stationsFound = 0;      // stations offered an installation
  uint64_t upRefused = 0;          // up reports with a wrong or replayed token
  uint64_t installersDropped = 0;  // finished or silent sessions that made room for another
  uint64_t stationsWaited = 0;     // stations that found no room and waited
};

// Installers served at once (sessions), unless the operator says otherwise.
// A session costs about 9 KiB with its candidate link (docs/network-installation.md).
constexpr size_t kMostInstallers = 1024;
// Stations offered an installation that have not taken it yet.
constexpr size_t kMostOfferedStations = 1024;
// A kernel release longer than this (uname allows 64 characters) names no
// driver package.
constexpr size_t kLongestRelease = 64;
// Stations found per report that are logged one by one; the rest are
// counted in the report.
constexpr uint64_t kLoggedStationsPerReport = 16;

class ServerProtocol {
 public:
  ServerProtocol(const uint8_t* ownAddress, LinkConfig config, ClientLog log,
                 size_t mostInstallers = kMostInstallers);

  // Handles one received datagram of `length` bytes (its real length, which
  // may exceed the buffer: such a datagram is dropped as oversized). Returns
  // the length of the reply placed in `reply` (to be sent to the station
  // that asked), or 0 when none is due. `nowSeconds` is any clock that only
  // moves forward.
  size_t handle(const NetMessage& request, const ReceivedDatagram& arrival, NetMessage& reply,
                int64_t nowSeconds);
  // The same for a datagram of which only the bytes are known: its sender
  // is who its header says.
  size_t handle(const NetMessage& request, size_t length, NetMessage& reply, int64_t nowSeconds) {
    ReceivedDatagram arrival;
    arrival.length = length;
    return handle(request, arrival, reply, nowSeconds);
  }

  // Installers silent for longer than `fileSeconds` lose their open file
  // (they have long given up on it); those silent for longer than
  // `forgetSeconds` are forgotten, and so are offered stations.
  void expire(int64_t nowSeconds, int64_t fileSeconds, int64_t forgetSeconds);

  // Logs what was counted rather than logged since the last report (dropped
  // datagrams, stations found beyond the logged ones, installers that made
  // room), one line each, and starts counting afresh. Nothing when nothing
  // was counted.
  void report();

  // Counted since the start (what report() logged and what it has not yet).
  ProtocolTotals totals() const;
  // Calls `visit` for every session's current link.
  void visitSessions(const SessionVisitor& visit) const;
  // Calls `visit` for every station that waits for room now.
  void visitWaiting(const WaitingVisitor& visit) const;

  size_t clientCount() const { return sessions_.size(); }
  size_t offeredCount() const { return offered_.size(); }
  // The current link of `client`, or null.
  ClientLink* linkOf(const uint8_t* client);

 private:
  using Mac = std::array<uint8_t, kMacSize>;
  struct Session {
    std::unique_ptr<ClientLink> current;
    std::unique_ptr<ClientLink> candidate;
    int64_t lastSeen = 0;
  };
  // A station that was sent an opening reply and has not taken it yet.
  // A station that asked for an opening reply and has not taken it yet:
  // offered one, or waiting for room.
  struct Offered {
    bool drivers = false;
    std::string release;  // the kernel named in a driver request
    std::string label;    // the disk label of a discovery, made printable
    int64_t lastSeen = 0;
    int64_t heldUntil = 0;  // its offer's place in the table; 0: none
    bool waiting = false;   // found no room the last time it asked
    bool offered = false;   // was offered at least once
    bool logged = false;    // the offer has its events
    std::list<Mac>::iterator age;  // its place in offeredAge_
  };
  struct Counts {
    uint64_t malformed = 0;
    uint64_t oversized = 0;
    uint64_t forged = 0;
    uint64_t stationsFound = 0;  // new stations offered since the report
    uint64_t installersDropped = 0;
    uint64_t upRefused = 0;
    uint64_t stationsWaited = 0;
  };

  // A message whose header claims `claimed`, in a frame from `frameSource`.
  void noteForged(const uint8_t* claimed, const uint8_t* frameSource);
  // A discovery or driver request broadcast by `client`.
  size_t answerOpening(const NetMessage& request, const Mac& client, NetMessage& reply,
                       int64_t now);
  size_t openCandidate(const NetMessage& request, Session& session, const Mac& client,
                       NetMessage& reply);
  // A session for `client`, which took the opening reply of `offered` (or,
  // when it lost its entry, the discovery's offer) with `request`.
  size_t beginSession(const NetMessage& request, const Mac& client, NetMessage& reply,
                      int64_t now);
  // The events of an offer (or a driver offer) made to `client`.
  void logOpening(const Mac& client, bool drivers, const std::string& release,
                  const std::string& label);
  void forgetOffered(std::map<Mac, Offered>::iterator entry);
  // Whether the lab holds `client`, which reported `label` (logged once
  // while it waits).
  bool held(const Mac& client, const std::string& label);
  // The installed system's first-start report.
  size_t answerUpReport(const NetMessage& request, const Mac& client, NetMessage& reply);
  // Whether a new session or offer fits: room is made, if need be, from a
  // finished or silent session.
  bool makeRoom(int64_t now);
  void hold(Offered& offered, const Mac& client, int64_t now);
  void releaseHold(Offered& offered);
  void expireHolds(int64_t now);

  uint8_t ownAddress_[kMacSize];
  LinkConfig config_;
  size_t mostInstallers_;
  ClientLog log_;
  std::map<Mac, Session> sessions_;
  std::map<Mac, Offered> offered_;
  std::set<Mac> heldAnnounced_;
  std::list<Mac> offeredAge_;  // offered stations, the one that asked longest ago first
  // Offers holding a place, by when they stop; an entry whose heldUntil
  // differs was released earlier.
  std::deque<std::pair<int64_t, Mac>> holds_;
  size_t held_ = 0;
  Counts counts_;
  struct {
    Mac claimed{};
    Mac source{};
  } lastForged_;  // the last forged message of the report
  ProtocolTotals totals_;  // counts_ of the reports made so far
};
