#pragma once
// What the operator sees of every machine: one row per hardware address,
// kept from the server's events and from what the installation loop reads
// off its sessions, and the server's totals. Plain logic on the loop's
// thread; the views (the status page, the terminal table, the summary)
// read a snapshot, a copy that is theirs.
//
// Rows are bounded: at most `capacity`; a new machine takes the place of
// the finished one seen the longest ago, else of the station waiting for
// room seen the longest ago. A waiting station takes no other row (it is
// then not shown); a machine with a session takes, when nothing else is
// left, the row of the one seen the longest ago.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "netinstall/net_message.h"
#include "server/protocol/server_event.h"
#include "server/protocol/session_limits.h"

// Rows kept at the least; the server keeps twice its sessions: a row for
// every session, and as many for stations waiting for room or finished.
constexpr size_t kMostMachinesShown = 512;
// A machine that should be asking (for its drivers, the offer, a file) and
// has not for this long is shown silent: the server gives up its file after
// as long. One that prepares its disk or runs its last steps asks nothing
// for minutes, and is shown silent only after the longer time. The same
// limits decide when its session may make room for another.
constexpr int64_t kSilentMillis = kAskingSilenceSeconds * 1000;
constexpr int64_t kSilentWhileBusyMillis = kBusySilenceSeconds * 1000;
// The rate is the bytes sent over about this long.
constexpr int64_t kRateWindowMillis = 5 * 1000;

// held: not offered (the lab's state or inventory says why); up: the
// installed system reported its first start; notUp: done, but no report came
// in the time the operator allowed.
// waiting: asked while the server had no room, offered as soon as it has.
enum class MachinePhase {
  drivers, offered, installing, done, failed, declined, silent, waiting, held, up, notUp
};

// The phase as the status page and the events file name it.
const char* phaseName(MachinePhase phase);

// Both clocks at one moment: the monotonic one for durations, the wall
// clock (milliseconds since 1970) for what is shown.
struct BoardTime {
  int64_t monotonicMillis = 0;
  int64_t epochMillis = 0;
};

struct MachineRow {
  std::array<uint8_t, kMacSize> mac{};
  std::string label;       // as the installer sent it, made printable
  std::string name;        // its name in the lab's inventory, "" when none
  std::string group;       // its group there
  int64_t firstSeen = 0;   // epoch milliseconds
  int64_t lastSeen = 0;    // epoch milliseconds
  MachinePhase phase = MachinePhase::offered;
  bool accepted = false;   // took the offer: prepares its disk until it starts
  bool allSent = false;    // every file sent: runs its last steps
  std::string reason;      // why it failed or went silent
  // The file being sent: its place (1 ... count) and name; index 0 when none.
  size_t fileIndex = 0;
  size_t fileCount = 0;
  std::string fileName;
  uint64_t fileBytes = 0;
  uint64_t fileSent = 0;
  uint64_t bytesSent = 0;   // of this phase's files (the drivers, or the installation)
  uint64_t bytesTotal = 0;  // 0 when not known yet
  double rate = 0;          // bytes per second, over the last few seconds
  int64_t elapsedMillis = 0;
  int64_t remainingMillis = -1;  // -1: no estimate
  int64_t upMillis = -1;         // from the first request to the up report; -1: not up
  uint64_t installation = 0;     // the lab's count of this machine's installations; 0: none kept
};

struct BoardTotals {
  uint64_t machines = 0;  // rows shown
  uint64_t installing = 0;
  uint64_t silent = 0;
  uint64_t waiting = 0;  // stations waiting for room now
  uint64_t done = 0;    // installations finished since the start
  uint64_t failed = 0;  // installations failed or gone silent since the start
  uint64_t bytesSent = 0;
  uint64_t malformed = 0;
  uint64_t oversized = 0;
  uint64_t forged = 0;  // requests whose header claims another address than their frame's
  uint64_t stationsFound = 0;
  uint64_t installersDropped = 0;
  uint64_t up = 0;          // up reports taken since the start
  uint64_t notUp = 0;       // machines done that never reported up in time
  uint64_t upRefused = 0;   // up reports with a wrong or replayed token
  uint64_t rearmed = 0;     // installations of machines the operator armed again
};

struct BoardSnapshot {
  int64_t taken = 0;    // epoch milliseconds
  int64_t started = 0;  // the server's start, epoch milliseconds
  std::vector<MachineRow> machines;  // the first seen first
  BoardTotals totals;
};

class MachineBoard {
 public:
  explicit MachineBoard(BoardTime started, size_t capacity = kMostMachinesShown);

  // An event of the installer `client` (the server's own are ignored).
  void record(const uint8_t* client, const ServerEvent& event, BoardTime now);
  // What the loop read off a session: the clock value of its last request
  // (any value that changes when it asks) and the bytes of its open file.
  void noteSession(const uint8_t* client, int64_t lastRequest, uint64_t fileOffset, BoardTime now);
  // A station the server has no room for yet, and when it last asked.
  void noteWaiting(const uint8_t* client, int64_t lastAsked, BoardTime now);
  // The server's counters of dropped and forged datagrams.
  void setCounters(uint64_t malformed, uint64_t oversized, uint64_t forged, uint64_t stationsFound,
                   uint64_t installersDropped);

  BoardSnapshot snapshot(BoardTime now) const;
  size_t size() const { return rows_.size(); }

 private:
  using Mac = std::array<uint8_t, kMacSize>;
  struct Sample {
    int64_t at;
    uint64_t bytes;
  };
  struct Entry {
    MachineRow row;
    int64_t firstSeenMono = 0;
    int64_t lastSeenMono = 0;
    int64_t endedMono = -1;   // when it reached a final phase
    int64_t lastRequest = -1;
    uint64_t completedBytes = 0;  // of the files sent whole
    std::deque<Sample> samples;   // bytesSent over the rate window
  };

  // The row of `client`, made if need be; null when a waiting station
  // finds no row it may take.
  Entry* entryFor(const Mac& client, BoardTime now, bool waiting = false);
  // A new installation of the machine `entry` (its label stays).
  static void begin(Entry& entry, const Mac& client, BoardTime now);
  static void touch(Entry& entry, BoardTime now);
  void setSent(Entry& entry, uint64_t bytesSent, BoardTime now);
  void finish(Entry& entry, MachinePhase phase, BoardTime now);
  MachineRow view(const Entry& entry, BoardTime now) const;

  BoardTime started_;
  size_t capacity_;
  std::map<Mac, Entry> rows_;
  BoardTotals totals_;
};
