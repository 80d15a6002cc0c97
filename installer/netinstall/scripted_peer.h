#pragma once
// A stand-in server for the client's tests: a test script decides, request
// by request, what goes back, so that every acceptance rule can be met with
// the very datagram it is about. Runs in a thread of its own; its socket was
// made in the peer's namespace.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "netinstall/net_message.h"

class ScriptedPeer {
 public:
  // `socket` is owned from now on; `ownMac` is the peer interface's address.
  ScriptedPeer(int socket, const uint8_t* ownMac);
  ~ScriptedPeer();  // joins the script

  // Runs `script` in the peer's thread.
  void run(const std::function<void(ScriptedPeer&)>& script);
  void join();

  // The next datagram within `seconds` that the peer did not send itself.
  bool next(NetMessage& request, double seconds = 5);
  // Broadcasts a message from `source` to `target` with the given numbers.
  void send(const uint8_t* source, const uint8_t* target, uint16_t sequence,
            uint16_t acknowledgement, const std::string& payload);
  // The reply the client expects: from us, to the request's source, numbered
  // `sequence`, acknowledging the request.
  void answer(const NetMessage& request, uint16_t sequence, const std::string& payload);

  const uint8_t* mac() const { return mac_; }

 private:
  int socket_;
  uint8_t mac_[kMacSize];
  std::vector<NetMessage> sent_;  // what we broadcast comes back to us
  std::thread thread_;
};

std::string payloadString(const NetMessage& message);
