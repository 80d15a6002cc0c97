#pragma once
// The simulated installers' one card on the server's segment: a packet
// socket that takes in every frame that arrives (the card is promiscuous,
// so frames for any of the thousand hardware addresses reach it) and sends
// each request as a frame from its installer's own address, in batches:
// one system call for many datagrams either way.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "netinstall/net_message.h"

class CrowdFrames {
 public:
  CrowdFrames() = default;
  CrowdFrames(const CrowdFrames&) = delete;
  CrowdFrames& operator=(const CrowdFrames&) = delete;
  ~CrowdFrames();

  // False with one line in `error`.
  [[nodiscard]] bool open(const std::string& interfaceName, std::string& error);
  int fd() const { return fd_; }

  // Queues one request of `message` from its source address, to `to` or
  // broadcast when null; sent by flush() (or once the batch is full).
  void queue(const NetMessage& message, const uint8_t* to);
  // Sends what is queued. Frames the kernel refuses are lost on the way:
  // the installers send them again after their time-out.
  void flush();

  // Calls `take` for each protocol datagram waiting now (a whole UDP
  // datagram to port 5000 in one unfragmented IPv4 frame); returns how
  // many frames were read.
  template <typename Take>
  size_t receiveAll(Take take);

  uint64_t framesSent() const { return sent_; }

 private:
  size_t receiveBatch();
  bool datagramOf(size_t index, NetMessage*& message, long& length);

  static constexpr size_t kBatch = 64;
  static constexpr size_t kFrameRoom = kMessageSize + 64;
  int fd_ = -1;
  std::vector<std::vector<uint8_t>> out_;
  std::vector<std::vector<std::vector<uint8_t>>> built_;
  size_t queued_ = 0;
  uint16_t identification_ = 0;
  std::vector<uint8_t> in_;  // kBatch frames of kFrameRoom bytes
  std::vector<size_t> inLength_;
  NetMessage message_;
  uint64_t sent_ = 0;
};

template <typename Take>
size_t CrowdFrames::receiveAll(Take take) {
  size_t total = 0;
  for (;;) {
    size_t count = receiveBatch();
    total += count;
    for (size_t i = 0; i < count; ++i) {
      NetMessage* message;
      long length;
      if (datagramOf(i, message, length)) take(*message, length);
    }
    if (count < kBatch) return total;
  }
}
