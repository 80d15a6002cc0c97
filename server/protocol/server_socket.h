#pragma once
// The server's sockets on the installation network. Requests are taken in
// as frames from a packet socket bound to the interface, whose filter in the
// kernel passes only IPv4 UDP to the protocol port, so that the server knows
// the hardware address each request really came from. A datagram socket
// bound to the port (on the interface's own address, where it has one)
// holds it, so that no second server starts on it, and takes nothing in
// itself. Replies go out from
// another packet socket as frames to the one installer they are for (IP
// destination still the limited broadcast address, see
// netinstall/frame_socket.h).
//
// Without the privilege for packet sockets the datagram socket takes the
// requests in, with only the address the sender claims in its header, and
// replies are broadcast. The interface is used as the operator configured
// it; nothing is changed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "netinstall/frame_socket.h"
#include "netinstall/net_message.h"
#include "server/protocol/received_datagram.h"

class ServerSocket {
 public:
  // Datagrams taken in by one receive().
  static constexpr size_t kReceiveBatch = 64;

  ServerSocket() = default;
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;
  ~ServerSocket();

  // Opens the sockets on `interfaceName`. False with one line in `error`
  // when the interface does not exist, is down, has no hardware address, or
  // the port cannot be had. A packet socket that cannot be had is no error:
  // see knowsFrameSources().
  [[nodiscard]] bool open(const std::string& interfaceName, std::string& error);

  // Spreads the requests over `lanes` sockets, this one and those added to
  // `more`: lane k takes the frames the kernel took in on the processors
  // whose number leaves k when divided by `lanes`, so that a thread that
  // runs there answers them where they arrived (see serving_lanes.h). Each
  // lane numbers its datagrams from a class of IP identifications of its
  // own. False with one phrase in `problem` when the kernel cannot: this
  // socket then still takes every request.
  [[nodiscard]] bool spreadOver(size_t lanes, std::vector<std::unique_ptr<ServerSocket>>& more,
                                std::string& problem);

  // The descriptor to wait on for requests.
  int fd() const { return requestFrames_ >= 0 ? requestFrames_ : udp_; }
  const uint8_t* address() const { return mac_; }
  // Whether requests come with their frame's source address; when not, why
  // (one phrase, e.g. "cannot open a packet socket: Operation not permitted").
  bool knowsFrameSources() const { return requestFrames_ >= 0; }
  const std::string& framesProblem() const { return framesProblem_; }

  // Takes in the datagrams waiting now, without blocking, up to
  // kReceiveBatch: how many (0 when none waits). After waitInReceive(), it
  // first waits for one if none waits.
  size_t receive();
  // From now on receive() waits up to `millis` for a first datagram when
  // none waits: a thread that waits on this socket alone needs no poll()
  // before each receive, a system call less per wake-up. False when the
  // socket cannot wait so (it then still receives without waiting).
  [[nodiscard]] bool waitInReceive(int millis);
  // Datagram `index` of the last receive() into `message` and `arrival`.
  // False when it is not a datagram of the protocol (another port, a frame
  // whose headers disagree): skip it.
  bool datagram(size_t index, NetMessage& message, ReceivedDatagram& arrival) const;

  // The replies of one receive() go out together, each as frames to its
  // installer's hardware address (or broadcast, see sendsDirectly()), all
  // the frames in one system call: the protocol writes each into nextReply(), which queue()
  // then takes as `length` bytes for `client`; sendQueued() sends them.
  // What does not go out is asked for again by the installers.
  NetMessage& nextReply();
  void queue(const uint8_t* client, size_t length);
  void sendQueued();
  // Sends `length` bytes of `message` as a broadcast to every station.
  bool broadcast(const NetMessage& message, size_t length);
  // Whether replies go out as frames to one installer.
  bool sendsDirectly() const { return frames_.isOpen(); }

 private:
  // The packet socket for requests, its filter set before it is bound so
  // that nothing else is ever queued on it. False with `framesProblem_`.
  bool openFramesIn(unsigned interfaceIndex);
  // Another lane of `first`'s group `group` (see spreadOver()).
  bool openLane(ServerSocket& first, int group, std::string& problem);

  int udp_ = -1;  // -1 in a lane added by spreadOver()
  int requestFrames_ = -1;
  std::string interfaceName_;
  unsigned interfaceIndex_ = 0;
  std::string framesProblem_;
  FrameSocket frames_;
  uint8_t mac_[kMacSize] = {};
  int waitMillis_ = 0;  // receive() waits this long; 0: not at all
  // kReceiveBatch slots of kSlotSize bytes, and what each received holds.
  std::vector<uint8_t> slots_;
  struct Slot {
    size_t length = 0;        // the whole frame's or datagram's length
    uint16_t senderPort = 0;  // the datagram socket's only
  };
  std::vector<Slot> received_;
  struct Reply {
    uint8_t client[kMacSize];
    size_t length;
    NetMessage message;
  };
  std::vector<Reply> replies_;  // grown to the most queued at once, never shrunk
  size_t queued_ = 0;
  std::vector<FrameSocket::Datagram> outgoing_;
};
