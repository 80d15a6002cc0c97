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
#include "server/lab/machine_plan.h"
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
  // `root` is what the server serves: a root rendered from the lab's
  // inventory gives each machine its own files and settings.
  LabMachines(LabState state, std::string root)
      : state_(std::move(state)), root_(std::move(root)) {}

  const LabState& state() const { return state_; }

  // The first request of a machine that may be about to install (a driver
  // or discovery broadcast); the time of the first one is kept until its
  // installation begins. Bounded: an address flood costs a bounded table.
  void noteRequest(const uint8_t* mac, int64_t epochMillis);

  // Whether the machine, which reported the disk label `label`, may be
  // offered an installation: false, with the reason, for one installed
  // already (or claimed twice) and not armed again, one the inventory does
  // not name (held until armed, or refused), and one whose label is not the
  // inventory's.
  bool admit(const uint8_t* mac, const std::string& label, std::string& reason);
  // Whether the machine keeps its old configuration: its own word in the
  // inventory, else `labDefault`.
  bool keepFor(const uint8_t* mac, bool labDefault) const;
  // Its inventory name and group ("" when it has none).
  void identity(const uint8_t* mac, std::string& name, std::string& group) const;

  // An installation begins (the installer asked to start): `files` are
  // what the machine receives (its own, when the root has an inventory), the
  // last of them its token file, made anew; the state says installing, and
  // the operator's arming is used up. `rearmed` tells whether the machine
  // had been armed again. False with the reason; a machine with secrets
  // that another installer claims while it installs is then held, and no
  // installer of it gets them until it is armed again.
  [[nodiscard]] bool beginInstallation(const uint8_t* mac, const uint8_t* serverAddress,
                                       int64_t epochMillis, std::vector<ServedFile>& files,
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
  std::string root_;
  std::map<MacBytes, int64_t> firstRequest_;
  std::map<MacBytes, std::string> admittedLabel_;  // the label each admitted machine reported
};

// The digest (hex) the state keeps of a token text.
std::string tokenDigest(const std::string& token);
