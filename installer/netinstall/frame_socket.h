#pragma once
// A packet socket on one interface that sends each protocol datagram as
// Ethernet frames to one station's hardware address (udp_frames.h), so that
// the other stations of the segment never see it. The server sends its
// replies this way, the installer its requests once it knows its server.
// Sends only: it receives nothing. Opening it needs the privilege to send
// raw frames; without it the owner broadcasts as before.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/socket.h>
#include <sys/uio.h>

#include "netinstall/net_message.h"
#include "netinstall/udp_frames.h"

class FrameSocket {
 public:
  FrameSocket() = default;
  FrameSocket(const FrameSocket&) = delete;
  FrameSocket& operator=(const FrameSocket&) = delete;
  ~FrameSocket() { close(); }

  // Opens the socket on `interfaceName`, sending from `sourceMac` and from
  // the interface's IPv4 address as it is now (0.0.0.0 when it has none).
  // False when the socket cannot be had or the interface is unknown.
  [[nodiscard]] bool open(const char* interfaceName, const uint8_t* sourceMac);
  bool isOpen() const { return fd_ >= 0; }
  void close();

  // Sends `length` bytes as one UDP datagram from and to the protocol port,
  // IP destination 255.255.255.255, in frames to `destination`, never
  // waiting for a full queue. Returns `length`, or -1 with errno set (ENOBUFS
  // when only some of the fragments went out).
  long send(const uint8_t* destination, const void* data, size_t length);

  // One datagram of a sendAll().
  struct Datagram {
    const uint8_t* destination;
    const void* data;
    size_t length;
  };
  // Sends each of `count` datagrams as send() does, their frames together
  // in as few system calls as the kernel takes. False when some did not go
  // out whole (the kernel's queue was full): those are lost, and their
  // installers ask again.
  bool sendAll(const Datagram* datagrams, size_t count);

  // Numbers its datagrams `first`, `first` + `step`, ... (modulo 65536):
  // sockets sending to the same stations each take another `first` below a
  // common `step` that divides 65536, so that no two of their datagrams in
  // flight carry one IP identification (the receiver would join their
  // fragments), and none waits for another to number a datagram.
  void numberIdentifications(uint16_t first, uint16_t step) {
    identification_ = static_cast<uint16_t>(first - step);
    identificationStep_ = step;
  }

 private:
  uint16_t nextIdentification() {
    identification_ = static_cast<uint16_t>(identification_ + identificationStep_);
    return identification_;
  }
  // From this card to `destination` (filled in later when null).
  UdpRoute routeTo(const uint8_t* destination) const;

  int fd_ = -1;
  uint8_t mac_[kMacSize] = {};
  uint32_t address_ = 0;  // network byte order
  size_t mtu_ = 1500;
  uint16_t identification_ = 0;
  uint16_t identificationStep_ = 1;
  std::vector<std::vector<uint8_t>> frames_;
  // sendAll()'s frames, one list per datagram, kept for the next call.
  std::vector<std::vector<std::vector<uint8_t>>> batch_;
  std::vector<iovec> parts_;
  std::vector<mmsghdr> messages_;
};
