#pragma once
// The lab's per-machine state, kept in a folder the operator names (serve-lab
// keeps it in FOLDER/state) so that it outlasts a restart of the server:
//
//   STATE/machines/<aa-bb-cc-dd-ee-ff>   one machine's state, "name: value"
//                                        lines, written by the server only
//                                        (whole, by rename)
//   STATE/armed/<aa-bb-cc-dd-ee-ff>      the operator's word that the machine
//                                        is to be installed again; removed by
//                                        the server when that installation
//                                        begins
//   STATE/tokens/<aa-bb-cc-dd-ee-ff>     the token file of the installation
//                                        running now (mode 0600), served to
//                                        that machine only
//
// One writer per file, so the operator's command and the server never race
// on one file. serve-lab reads the machines' phases to decide what each
// machine's firmware boots, and the operator's commands read them to explain
// a machine.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "netinstall/net_message.h"

using MacBytes = std::array<uint8_t, kMacSize>;

// A machine's phase as the state keeps it: what the lab knows of it beyond
// the server's own run.
// conflict: two installers claimed the machine's address while it installed;
// held until the operator arms it again.
enum class LabPhase { unknown, installing, done, up, notUp, conflict };
const char* labPhaseName(LabPhase phase);

struct MachineState {
  LabPhase phase = LabPhase::unknown;
  uint64_t installations = 0;      // begun since the state was made
  int64_t firstRequestMillis = 0;  // epoch ms of this installation's first request
  int64_t doneMillis = 0;          // epoch ms of its end ("done"), 0 before
  int64_t upMillis = 0;            // epoch ms of its up report, 0 before
  std::string tokenDigest;         // SHA-256 (hex) of this installation's token
  // Digests of the tokens of earlier installations, the newest last (a few):
  // a report carrying one is a replay.
  std::vector<std::string> earlierTokens;
};

// "aa-bb-cc-dd-ee-ff": the file name of a machine in the state.
std::string machineFileName(const uint8_t* mac);
// The address a machine file name spells; false for any other name.
bool parseMachineFileName(const char* name, MacBytes& mac);
// The state's text and its reading; false for a text that is not one.
std::string formatMachineState(const MachineState& state);
[[nodiscard]] bool parseMachineState(const std::string& text, MachineState& state);

class LabState {
 public:
  explicit LabState(std::string dir) : dir_(std::move(dir)) {}

  // Creates the folders that are missing. False with one line in `error`.
  [[nodiscard]] bool open(std::string& error);
  const std::string& dir() const { return dir_; }

  // The machine's state; a default one (phase unknown) when it has none or
  // its file cannot be read.
  MachineState load(const uint8_t* mac) const;
  // Writes the machine's state whole. False with errno.
  [[nodiscard]] bool save(const uint8_t* mac, const MachineState& state) const;
  // Every machine that has a state, with it.
  std::vector<std::pair<MacBytes, MachineState>> loadAll() const;

  // Whether the operator armed the machine (serve-lab --arm) for a new
  // installation, and the end of that word once the installation began.
  bool armed(const uint8_t* mac) const;
  void disarm(const uint8_t* mac) const;

  std::string tokenPath(const uint8_t* mac) const;

 private:
  std::string dir_;
};
