#pragma once
// The server's sockets on the installation network: a datagram socket bound
// to the interface and the protocol port, which receives the installers'
// broadcasts, and a packet socket that sends each reply as a frame to the one
// installer it is for (IP destination still the limited broadcast address,
// see netinstall/frame_socket.h). Without the packet socket, replies are
// broadcast. The interface is used as the operator configured it; nothing is
// changed.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "netinstall/frame_socket.h"
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
  // blocking: its whole length (beyond the buffer for an oversized one, whose
  // first bytes only are kept), or -1 when none is waiting.
  long receive(NetMessage& message);
  // Sends `length` bytes of `message` to the installer with hardware address
  // `client`. False when the send failed (the installer asks again).
  bool sendTo(const uint8_t* client, const NetMessage& message, size_t length);
  // Sends `length` bytes of `message` as a broadcast to every station.
  bool broadcast(const NetMessage& message, size_t length);
  // Whether replies go out as frames to one installer.
  bool sendsDirectly() const { return frames_.isOpen(); }

 private:
  int fd_ = -1;
  FrameSocket frames_;
  uint8_t mac_[kMacSize] = {};
};
