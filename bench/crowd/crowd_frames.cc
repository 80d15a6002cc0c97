#include "bench/crowd/crowd_frames.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netinstall/udp_frames.h"

namespace {

constexpr uint8_t kBroadcastMac[kMacSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Room for a whole crowd's replies in flight: a thousand 4 KiB datagrams,
// each counted at about twice its size.
constexpr int kReceiveBuffer = 32 * 1024 * 1024;

}  // namespace

CrowdFrames::~CrowdFrames() {
  if (fd_ >= 0) close(fd_);
}

bool CrowdFrames::open(const std::string& interfaceName, std::string& error) {
  unsigned index = if_nametoindex(interfaceName.c_str());
  if (index == 0) {
    error = "cannot use interface " + interfaceName + ": " + strerror(errno);
    return false;
  }
  fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
  if (fd_ < 0) {
    error = std::string("cannot open a packet socket: ") + strerror(errno);
    return false;
  }
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_IP);
  link.sll_ifindex = static_cast<int>(index);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    error = "cannot bind to " + interfaceName + ": " + strerror(errno);
    return false;
  }
  packet_mreq promiscuous{};
  promiscuous.mr_ifindex = static_cast<int>(index);
  promiscuous.mr_type = PACKET_MR_PROMISC;
  int on = 1;
  if (setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous) != 0 ||
      setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0) {
    error = "cannot take every frame of " + interfaceName + ": " + strerror(errno);
    return false;
  }
  int size = kReceiveBuffer;
  (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);  // root only: best effort
  (void)setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  out_.resize(kBatch);
  built_.resize(1);
  in_.resize(kBatch * kFrameRoom);
  inLength_.resize(kBatch);
  return true;
}

void CrowdFrames::queue(const NetMessage& message, const uint8_t* to) {
  UdpRoute route{};
  memcpy(route.sourceMac, message.source(), kMacSize);
  memcpy(route.destinationMac, to != nullptr ? to : kBroadcastMac, kMacSize);
  route.sourceIp = 0;  // an installer has no address of its own
  route.destinationIp = htonl(INADDR_BROADCAST);
  route.port = kProtocolPort;
  // Requests are short: always one frame.
  if (buildUdpFrames(route, message.bytes, message.datagramLength(), ++identification_, 9000,
                     built_[0]) != 1) {
    return;
  }
  out_[queued_].swap(built_[0][0]);
  if (++queued_ == kBatch) flush();
}

void CrowdFrames::flush() {
  size_t done = 0;
  while (done < queued_) {
    mmsghdr messages[kBatch];
    iovec parts[kBatch];
    size_t count = queued_ - done;
    for (size_t i = 0; i < count; ++i) {
      parts[i] = iovec{out_[done + i].data(), out_[done + i].size()};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int sent = sendmmsg(fd_, messages, static_cast<unsigned>(count), 0);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) break;  // a full queue: the rest count as lost on the way
    done += static_cast<size_t>(sent);
    sent_ += static_cast<uint64_t>(sent);
  }
  queued_ = 0;
}

size_t CrowdFrames::receiveBatch() {
  mmsghdr messages[kBatch];
  iovec parts[kBatch];
  for (size_t i = 0; i < kBatch; ++i) {
    parts[i] = iovec{in_.data() + i * kFrameRoom, kFrameRoom};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int count;
  do {
    // MSG_TRUNC: a frame's whole length, so that one cut by the buffer is
    // not taken for a whole one.
    count = recvmmsg(fd_, messages, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return 0;
  for (int i = 0; i < count; ++i) inLength_[i] = messages[i].msg_len;
  return static_cast<size_t>(count);
}

bool CrowdFrames::datagramOf(size_t index, NetMessage*& message, long& length) {
  const uint8_t* frame = in_.data() + index * kFrameRoom;
  size_t size = inLength_[index];
  UdpFrame datagram;
  size_t captured = size < kFrameRoom ? size : kFrameRoom;
  if (parseUdpFrame(frame, captured, size, datagram) != FrameParse::datagram ||
      datagram.fragmented || datagram.destinationPort != kProtocolPort ||
      datagram.length > kMessageSize || datagram.captured != datagram.length) {
    return false;
  }
  length = static_cast<long>(datagram.length);
  memcpy(message_.bytes, datagram.payload, datagram.length);
  message = &message_;
  return true;
}
