#pragma once
// The server's one datagram socket on the installation network: bound to the
// interface and the protocol port, sending to the limited broadcast address.
// The interface is used as the operator configured it; nothing is changed.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "netinstall/net_message.h"

class ServerSocket {
 public:
  ServerSocket() = default;
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;
  ~ServerSocket();

  // Opens the socket on `interfaceName`. False with one line in `error` when
  // the interface does not exist, is down, has no hardware address, or the
  // port cannot be had.
  [[nodiscard]] bool open(const std::string& interfaceName, std::string& error);

  int fd() const { return fd_; }
  const uint8_t* address() const { return mac_; }

  // The next waiting datagram from the protocol port into `message`, without
  // blocking: its length, or -1 when none is waiting.
  long receive(NetMessage& message);
  // Broadcasts `length` bytes of `message`. False when the send failed.
  bool broadcast(const NetMessage& message, size_t length);

 private:
  int fd_ = -1;
  uint8_t mac_[kMacSize] = {};
};
