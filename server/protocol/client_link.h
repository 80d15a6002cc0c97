#pragma once
// One request/reply link between the server and one installer, from the
// discovery ("DSCV") or driver request ("DRVR") that opened it. The server
// answers every new request exactly once and a repeated request (same
// sequence number: the installer timed out) with the very same reply, so
// nothing advances twice, whatever the network duplicates or loses.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "netinstall/net_message.h"
#include "server/protocol/file_cursor.h"
#include "server/protocol/install_tree.h"
#include "server/protocol/server_event.h"

class LabMachines;
class ReadAheadPool;

// One event for the operator about this link's installer.
using LinkLog = std::function<void(const ServerEvent& event)>;

struct LinkConfig {
  std::string root;
  bool keep = false;
  size_t blockSize = kMaxPayload;
  // The lab's per-machine state, when the server keeps one: each
  // installation gets its token file and is recorded there. Not owned.
  LabMachines* lab = nullptr;
  // Buffers the files being sent are read ahead through; null: block by
  // block. Not owned.
  ReadAheadPool* readAhead = nullptr;
};

class ClientLink {
 public:
  enum class Phase { offered, driversOffered, accepted, declined, started, done, failed };

  // A link opened by a discovery: its reply is "OFFR" (with "keep" when
  // configured), numbered 1 and acknowledging 0, as the installer expects.
  static std::unique_ptr<ClientLink> offer(const LinkConfig& config, const uint8_t* server,
                                           const uint8_t* client);
  // A link opened by a driver request for kernel `release`: its reply is
  // "OFDR", and the driver package (if there is one) is its only file.
  static std::unique_ptr<ClientLink> offerDrivers(const LinkConfig& config, const uint8_t* server,
                                                  const uint8_t* client,
                                                  const std::string& release);
  // The opening reply of such a link, without the link: "OFDR" when
  // `drivers`, else the offer. Returns its length.
  static size_t composeOpening(const LinkConfig& config, bool drivers, const uint8_t* server,
                               const uint8_t* client, NetMessage& reply);

  // The reply that opened the link; sent again for a repeated discovery.
  const NetMessage& openingReply() const { return lastReply_; }
  size_t openingReplyLength() const { return lastReplyLength_; }

  // Handles a request addressed to this server from this link's installer.
  // Returns the length of the reply in `reply`, or 0 when nothing is sent
  // (out of sequence, unknown, or the server cannot go on: then the installer
  // runs out of attempts and reports it).
  size_t handle(const NetMessage& request, NetMessage& reply, const LinkLog& log);

  // Whether a request has been taken on this link since it was opened.
  bool used() const { return used_; }
  Phase phase() const { return phase_; }
  uint16_t clientSequence() const { return clientSequence_; }
  uint16_t serverSequence() const { return serverSequence_; }
  // Closes the file being sent: the installer is gone. Further requests get
  // no reply.
  void abandon(const LinkLog& log);
  bool sendingFile() const { return cursor_.isOpen(); }
  // Its installer is done with it (done, declined, or the server failed it).
  bool finished() const {
    return phase_ == Phase::done || phase_ == Phase::declined || phase_ == Phase::failed;
  }
  // Its installer works on its own for minutes without asking: it prepares
  // its disk (took the offer, not started yet) or runs its last steps.
  bool busy() const { return phase_ == Phase::accepted || (phase_ == Phase::started && endAnnounced_); }
  // Bytes of the open file sent so far (0 when none is open).
  uint64_t fileOffset() const { return cursor_.isOpen() ? cursor_.offset() : 0; }

  // For tests of the wrap: continue a link as if it had carried many
  // messages already.
  void setSequencesForTest(uint16_t client, uint16_t server) {
    clientSequence_ = client;
    serverSequence_ = server;
  }

 private:
  ClientLink(const LinkConfig& config, const uint8_t* server, const uint8_t* client);
  // Fills `reply` with `payload`, numbered as the next reply to `request`.
  size_t stampReply(const NetMessage& request, NetMessage& reply);
  // Builds the payload for a new request; false when there is no answer.
  bool respond(const NetMessage& request, NetMessage& reply, const LinkLog& log);
  bool serveFile(NetMessage& reply, const LinkLog& log);

  LinkConfig config_;
  uint8_t server_[kMacSize];
  uint8_t client_[kMacSize];
  Phase phase_ = Phase::offered;
  uint16_t clientSequence_ = 0;  // the installer's last request taken
  uint16_t serverSequence_ = 0;  // our last reply
  bool used_ = false;
  NetMessage lastReply_;
  size_t lastReplyLength_ = 0;
  std::vector<ServedFile> files_;
  size_t nextFile_ = 0;
  FileCursor cursor_;
  bool endAnnounced_ = false;
};
