#pragma once
// What the server decides from the lab's state: whether a machine may be
// installed (a machine installed already is not, until the operator arms it
// again: its firmware boots the network first, and must not reinstall it at
// every restart), the token of each installation, and the installed
// system's first-start report, checked against that token.
//
// The token is made per installation from the kernel's random source,
// delivered to that machine only as the script file kTokenFileName, and kept
// in the state only as its digest: it is never logged or shown.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "server/lab/lab_state.h"
#include "server/protocol/install_tree.h"

constexpr size_t kTokenBytes = 16;

enum class UpResult {
  accepted,     // first report of this installation: the machine is up
  repeated,     // the same report again (our answer was lost): answered, nothing counted
  wrongToken,   // not this machine's installation's token
  replayed,     // the token of an earlier installation
  notInstalled  // no installation of this machine is known
};

class LabMachines {
 public:
  // `serverAddress` goes into the token file: the installed system reports
  // to the server that installed it.
  explicit LabMachines(LabState state) : state_(std::move(state)) {}

  const LabState& state() const { return state_; }

  // The first request of a machine that may be about to install (a driver
  // or discovery broadcast); the time of the first one is kept until its
  // installation begins. Bounded: an address flood costs a bounded table.
  void noteRequest(const uint8_t* mac, int64_t epochMillis);

  // Whether the machine may be offered an installation: false, with the
  // reason, for one installed already and not armed again.
  bool mayInstall(const uint8_t* mac, std::string& reason) const;

  // An installation begins (the installer asked to start): a new token is
  // made and written to its file, which `tokenFile` then names; the state
  // says installing, and the operator's arming is used up. `rearmed` tells
  // whether the machine had been armed again. False with the reason.
  [[nodiscard]] bool beginInstallation(const uint8_t* mac, const uint8_t* serverAddress,
                                       int64_t epochMillis, ServedFile& tokenFile,
                                       uint64_t& installation, bool& rearmed,
                                       std::string& error);
  // Every file was sent and the installer ended ("done").
  void finishInstallation(const uint8_t* mac, int64_t epochMillis);

  // An up report of `mac` carrying `token` (hex text). For accepted, the
  // milliseconds from the installation's first request to now.
  UpResult upReport(const uint8_t* mac, const std::string& token, int64_t epochMillis,
                    int64_t& upAfterMillis);

  // Machines done but not up `timeoutMillis` after their end: marked not up
  // and returned, each once, with the milliseconds since they were done.
  std::vector<std::pair<MacBytes, int64_t>> overdue(int64_t epochMillis, int64_t timeoutMillis);

 private:
  LabState state_;
  std::map<MacBytes, int64_t> firstRequest_;
};

// The digest (hex) the state keeps of a token text.
std::string tokenDigest(const std::string& token);
