#pragma once
// One simulated installer: the installer's side of the protocol as an
// event-driven state machine, so that one process can run a thousand of
// them. The wire format, the numbering and acceptance rules, the discovery
// and offer payloads and the file headers are the installer's own
// (netinstall/); what is modelled here is only the order of the steps the
// network installation takes (drivers, discovery, offer, the disk's
// preparation as a pause, the files, the closing wait) with the
// installer's waits and attempts. Plain logic: requests leave through an
// Outbox, time comes in as arguments.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "netinstall/link_state.h"
#include "netinstall/net_message.h"

// Where a simulated installer's requests go: as a frame to the server's
// hardware address (`to`), or broadcast when `to` is null.
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual void send(const NetMessage& message, const uint8_t* to) = 0;
};

// The installer's waits (install_client.h's defaults).
struct CrowdTiming {
  int64_t replyTimeoutUsec = 1000000;
  int confirmAttempts = 5;
  int transferAttempts = 30;
  int64_t cycleUsec = 1000000;
  int64_t closingUsec = 1000000;
  int closingSends = 30;  // the installer waits for ever; a simulation gives up
};

// What a file must be when it arrives: its size and content sum.
struct ExpectedFile {
  uint64_t size = 0;
  uint64_t sum = 0;
};
using ExpectedFiles = std::map<std::string, ExpectedFile>;

// A position-dependent sum over a file's bytes, cheap enough that checking
// every byte costs the simulation little: a lost, repeated or reordered
// block changes it.
struct ContentSum {
  uint64_t sum = 0;
  uint64_t offset = 0;
  void add(const uint8_t* data, size_t length);
};

class CrowdInstaller;
// The step's name in --states output ("idle", "drivers", ... "failed").
const char* stepName(const CrowdInstaller& installer);

class CrowdInstaller {
 public:
  enum class Step { idle, drivers, discovery, confirm, pause, start, header, data, closing, done,
                    failed };

  CrowdInstaller(const uint8_t* mac, const std::string& label, bool drivers, int64_t pauseUsec,
                 const ExpectedFiles* expected, CrowdTiming timing);

  // Its first request: the driver request, or the discovery.
  void begin(int64_t now, Outbox& out);
  // A datagram of `length` bytes addressed to its hardware address.
  void receive(const NetMessage& message, long length, int64_t now, Outbox& out);
  // Called at deadline() or later.
  void timeout(int64_t now, Outbox& out);

  int64_t deadline() const { return deadline_; }
  Step step() const { return step_; }
  // Whether its current exchange is the driver package's.
  bool inDriverPhase() const { return driverPhase_; }
  bool finished() const { return step_ == Step::done || step_ == Step::failed; }
  const std::string& failure() const { return failure_; }
  const uint8_t* mac() const { return link_.ownAddress; }
  int64_t firstRequest() const { return firstRequest_; }
  int64_t lastByte() const { return lastByte_; }
  int64_t pauseUsec() const { return pauseUsec_; }
  uint64_t bytes() const { return bytes_; }
  size_t files() const { return files_; }

 private:
  void broadcast(const NetMessage& message, int64_t now, Outbox& out);
  // A new request of the link with `text` as its payload.
  void request(const char* text, int attempts, int64_t now, Outbox& out);
  void resend(int64_t now, Outbox& out);
  void fail(const std::string& why);
  void headerArrived(const NetMessage& reply, int64_t now, Outbox& out);
  void dataArrived(const NetMessage& reply, int64_t now, Outbox& out);

  bool wantDrivers_;
  bool driverPhase_ = false;
  std::string label_;
  int64_t pauseUsec_;
  const ExpectedFiles* expected_;
  CrowdTiming timing_;
  LinkState link_;
  Step step_ = Step::idle;
  NetMessage request_;
  int sends_ = 0;     // of the current request
  int attempts_ = 0;  // allowed for it
  int64_t deadline_ = INT64_MAX;
  int64_t firstRequest_ = -1;
  int64_t lastByte_ = -1;
  std::string fileName_;
  ContentSum content_;
  uint64_t bytes_ = 0;
  size_t files_ = 0;
  std::string failure_;
};
