#pragma once
// The installation server's side of the protocol for any number of
// installers at once, each known by its hardware address. Plain logic: the
// caller receives datagrams and broadcasts the replies.
//
// Each installer has a current link and, after a discovery or driver request
// that arrived while a link was in use, a candidate: the installer may have
// started over (its next request is then numbered 1 and acknowledges our
// reply 1), or the broadcast may be a late duplicate that the network held
// back, which must not cut the running transfer off. The candidate is
// dropped as soon as the current link takes a new request.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "netinstall/net_message.h"
#include "server/client_link.h"

// One line for the operator about the installer with hardware address `client`.
using ClientLog = std::function<void(const uint8_t* client, const std::string& text)>;

class ServerProtocol {
 public:
  ServerProtocol(const uint8_t* ownAddress, LinkConfig config, ClientLog log);

  // Handles one received datagram of `length` bytes. Returns the length of
  // the reply placed in `reply` (to be broadcast), or 0 when none is due.
  // `nowSeconds` is any clock that only moves forward.
  size_t handle(const NetMessage& request, size_t length, NetMessage& reply, int64_t nowSeconds);

  // Installers silent for longer than `fileSeconds` lose their open file
  // (they have long given up on it); those silent for longer than
  // `forgetSeconds` are forgotten.
  void expire(int64_t nowSeconds, int64_t fileSeconds, int64_t forgetSeconds);

  size_t clientCount() const { return sessions_.size(); }
  // The current link of `client`, or null.
  ClientLink* linkOf(const uint8_t* client);

 private:
  using Mac = std::array<uint8_t, kMacSize>;
  struct Session {
    std::unique_ptr<ClientLink> current;
    std::unique_ptr<ClientLink> candidate;
    int64_t lastSeen = 0;
  };

  size_t openLink(const NetMessage& request, Session& session, const Mac& client,
                  NetMessage& reply);

  uint8_t ownAddress_[kMacSize];
  LinkConfig config_;
  ClientLog log_;
  std::map<Mac, Session> sessions_;
};
