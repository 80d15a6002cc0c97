#include "server/protocol/server_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "netinstall/udp_frames.h"

namespace {

constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
// A frame of the largest message that fits, with the longest IP header.
constexpr size_t kLongestIpHeader = 60;
constexpr size_t kSlotSize = kEthernetHeaderSize + kLongestIpHeader + kUdpHeaderSize + kMessageSize;

// IPv4 UDP to the protocol port, addressed to this host (or broadcast), and
// not a later fragment (which carries no port): all the rest of the
// segment's traffic stays in the kernel. The whole frame is kept, so that
// its length tells an oversized datagram from one that fits.
constexpr uint32_t kWholeFrame = 0xFFFFFFFF;
sock_filter kRequestFilter[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, 10, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 9, 0),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),  // EtherType
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 7),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 23),  // IP protocol
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 5),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),  // flags and fragment offset
    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 3, 0),
    BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),  // the IP header's length
    BPF_STMT(BPF_LD | BPF_H | BPF_IND, 16),   // UDP destination port
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kProtocolPort, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, 0),
    BPF_STMT(BPF_RET | BPF_K, kWholeFrame),
};

// The datagram socket keeps the port and takes nothing in: every request is
// the packet socket's, and none is queued twice.
sock_filter kNothing[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

// Which lane of a spread socket takes a frame: the processor's number that
// took it in (the kernel divides it by the lanes and takes the rest).
// Answered by a thread on that processor, a request wakes no other one, and
// its reply goes out where the installer's socket was last busy: on two
// processors this doubled what the server sends to four installers at once,
// where lanes chosen by the installers' addresses gained a tenth. An installer
// whose frames arrive on another processor now and then is answered by
// another lane: the protocol's state is one, so nothing changes for it.
sock_filter kLaneOfProcessor[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_CPU)),
    BPF_STMT(BPF_RET | BPF_A, 0),
};

bool attachFilter(int fd, sock_filter* filter, size_t length) {
  sock_fprog program{static_cast<unsigned short>(length), filter};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

void growReceiveBuffer(int fd) {
  // A crowd's requests arrive together: a thousand installers each have
  // one waiting, and the kernel counts each at a few KiB. The default
  // buffer holds about a hundred; the rest would be dropped and every
  // dropped installer would lose a second to its time-out.
  int room = kReceiveBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);  // capped by rmem_max
  }
}

}  // namespace

ServerSocket::~ServerSocket() {
  if (udp_ >= 0) close(udp_);
  if (requestFrames_ >= 0) close(requestFrames_);
}

bool ServerSocket::openFramesIn(unsigned interfaceIndex) {
  // Protocol 0 until bound: no frame is queued before the filter is on.
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    framesProblem_ = std::string("cannot open a packet socket: ") + strerror(errno);
    return false;
  }
  int on = 1;
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_IP);
  link.sll_ifindex = static_cast<int>(interfaceIndex);
  if (!attachFilter(fd, kRequestFilter, sizeof kRequestFilter / sizeof kRequestFilter[0]) ||
      // Our own replies on the way out are no requests.
      setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    framesProblem_ = std::string("cannot take in frames: ") + strerror(errno);
    close(fd);
    return false;
  }
  growReceiveBuffer(fd);
  requestFrames_ = fd;
  return true;
}

bool ServerSocket::openLane(ServerSocket& first, int group, std::string& problem) {
  interfaceName_ = first.interfaceName_;
  interfaceIndex_ = first.interfaceIndex_;
  memcpy(mac_, first.mac_, kMacSize);
  if (!openFramesIn(interfaceIndex_)) {
    problem = framesProblem_;
    return false;
  }
  if (setsockopt(requestFrames_, SOL_PACKET, PACKET_FANOUT, &group, sizeof group) != 0) {
    problem = std::string("cannot join the first socket's lanes: ") + strerror(errno);
    return false;
  }
  if (!frames_.open(interfaceName_.c_str(), mac_)) {
    problem = "cannot open a packet socket to send from";
    return false;
  }
  slots_.resize(kReceiveBatch * kSlotSize);
  received_.resize(kReceiveBatch);
  return true;
}

bool ServerSocket::spreadOver(size_t lanes, std::vector<std::unique_ptr<ServerSocket>>& more,
                              std::string& problem) {
  if (lanes <= 1) return true;
  if (requestFrames_ < 0 || !frames_.isOpen()) {
    problem = "requests are not taken in as frames";
    return false;
  }
  // The kernel picks a group number no other socket of this network uses;
  // the other lanes join it by that number.
  int join = (PACKET_FANOUT_CBPF | PACKET_FANOUT_FLAG_UNIQUEID) << 16;
  sock_fprog choice{
      static_cast<unsigned short>(sizeof kLaneOfProcessor / sizeof kLaneOfProcessor[0]),
      kLaneOfProcessor};
  int group = 0;
  socklen_t groupSize = sizeof group;
  if (setsockopt(requestFrames_, SOL_PACKET, PACKET_FANOUT, &join, sizeof join) != 0 ||
      getsockopt(requestFrames_, SOL_PACKET, PACKET_FANOUT, &group, &groupSize) != 0 ||
      setsockopt(requestFrames_, SOL_PACKET, PACKET_FANOUT_DATA, &choice, sizeof choice) != 0) {
    problem = std::string("cannot spread requests over sockets: ") + strerror(errno);
    return false;
  }
  // The group's number, and its kind without the flag that only made it.
  int memberJoin = (group & 0xFFFF) | (PACKET_FANOUT_CBPF << 16);
  size_t before = more.size();
  for (size_t i = 1; i < lanes; ++i) {
    auto lane = std::make_unique<ServerSocket>();
    if (!lane->openLane(*this, memberJoin, problem)) {
      more.resize(before);  // closed, they leave the group: this socket takes all again
      return false;
    }
    more.push_back(std::move(lane));
  }
  // Lane k numbers its datagrams k, k + step, ...: a class of its own.
  uint16_t step = 1;
  while (step < lanes) step = static_cast<uint16_t>(step * 2);
  frames_.numberIdentifications(0, step);
  for (size_t i = 1; i < lanes; ++i) {
    more[before + i - 1]->frames_.numberIdentifications(static_cast<uint16_t>(i), step);
  }
  return true;
}

bool ServerSocket::open(const std::string& interfaceName, std::string& error) {
  if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ) {
    error = "no interface named \"" + interfaceName + "\"";
    return false;
  }
  udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udp_ < 0) {
    error = std::string("cannot open a socket: ") + strerror(errno);
    return false;
  }
  ifreq request;
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size());
  if (ioctl(udp_, SIOCGIFFLAGS, &request) != 0) {
    error = "cannot use interface " + interfaceName + ": " + strerror(errno);
    return false;
  }
  if ((request.ifr_flags & IFF_UP) == 0) {
    error = "interface " + interfaceName + " is down";
    return false;
  }
  if (ioctl(udp_, SIOCGIFHWADDR, &request) != 0) {
    error = "cannot read the hardware address of " + interfaceName + ": " + strerror(errno);
    return false;
  }
  memcpy(mac_, request.ifr_hwaddr.sa_data, kMacSize);
  if (isZeroMac(mac_)) {
    error = "interface " + interfaceName + " has no hardware address";
    return false;
  }
  int on = 1;
  if (setsockopt(udp_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(udp_, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                 static_cast<socklen_t>(interfaceName.size() + 1)) != 0) {
    error = "cannot bind to interface " + interfaceName + ": " + strerror(errno);
    return false;
  }
  interfaceName_ = interfaceName;
  interfaceIndex_ = if_nametoindex(interfaceName.c_str());
  // Before the port is bound, so that no request is ever queued on both.
  if (openFramesIn(interfaceIndex_) &&
      !attachFilter(udp_, kNothing, 1)) {
    error = std::string("cannot filter the UDP socket: ") + strerror(errno);
    return false;
  }
  if (requestFrames_ < 0) growReceiveBuffer(udp_);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kProtocolPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  // Taking requests in as frames, the socket only holds the port: bound to
  // the interface's own address, it still does (another server bound to
  // any address of the card is refused), but the requests, all sent to the
  // broadcast address, no longer reach it, so that the kernel does not
  // carry each one to it and drop it there.
  if (requestFrames_ >= 0 && ioctl(udp_, SIOCGIFADDR, &request) == 0) {
    local.sin_addr = reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr;
  }
  if (bind(udp_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = "cannot use UDP port " + std::to_string(kProtocolPort) + " on " + interfaceName + ": " +
            strerror(errno);
    return false;
  }
  // Without the packet socket every reply is broadcast: slower on a busy
  // segment, but every installer still gets its replies.
  (void)frames_.open(interfaceName.c_str(), mac_);
  slots_.resize(kReceiveBatch * kSlotSize);
  received_.resize(kReceiveBatch);
  return true;
}

size_t ServerSocket::receive() {
  mmsghdr messages[kReceiveBatch];
  iovec parts[kReceiveBatch];
  sockaddr_in senders[kReceiveBatch];
  bool frames = requestFrames_ >= 0;
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    parts[i] = iovec{slots_.data() + i * kSlotSize, frames ? kSlotSize : kMessageSize};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    if (!frames) {
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
  }
  int count;
  // MSG_TRUNC: each datagram's or frame's whole length, so that an
  // oversized one is told from one that fits the buffer exactly.
  int flags = (waitMillis_ > 0 ? MSG_WAITFORONE : MSG_DONTWAIT) | MSG_TRUNC;
  do {
    count = recvmmsg(fd(), messages, kReceiveBatch, flags, nullptr);
  } while (count < 0 && errno == EINTR);
  if (count < 0 && waitMillis_ > 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    // An error that a next call may report again at once (the interface
    // went away): the wait passes all the same, so that its thread does not
    // spin.
    timespec pause{waitMillis_ / 1000, waitMillis_ % 1000 * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
  if (count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    received_[i].length = messages[i].msg_len;
    received_[i].senderPort = frames ? 0 : ntohs(senders[i].sin_port);
  }
  return static_cast<size_t>(count);
}

bool ServerSocket::waitInReceive(int millis) {
  int flags = fcntl(fd(), F_GETFL);
  timeval limit{millis / 1000, millis % 1000 * 1000};
  if (millis <= 0 || flags < 0 ||
      setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      fcntl(fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return false;
  }
  waitMillis_ = millis;
  return true;
}

bool ServerSocket::datagram(size_t index, NetMessage& message, ReceivedDatagram& arrival) const {
  const uint8_t* slot = slots_.data() + index * kSlotSize;
  const Slot& received = received_[index];
  arrival = ReceivedDatagram{};
  if (requestFrames_ < 0) {
    // Datagrams from other ports are not the protocol's.
    if (received.senderPort != kProtocolPort) return false;
    arrival.length = received.length;
    memcpy(message.bytes, slot, received.length < kMessageSize ? received.length : kMessageSize);
    return true;
  }
  UdpFrame frame;
  size_t captured = received.length < kSlotSize ? received.length : kSlotSize;
  if (parseUdpFrame(slot, captured, received.length, frame) != FrameParse::datagram ||
      frame.sourcePort != kProtocolPort || frame.destinationPort != kProtocolPort) {
    return false;
  }
  arrival.length = frame.length;
  arrival.fragmented = frame.fragmented;
  arrival.sourceKnown = true;
  memcpy(arrival.frameSource, frame.sourceMac, kMacSize);
  memcpy(message.bytes, frame.payload, frame.captured < kMessageSize ? frame.captured : kMessageSize);
  return true;
}

NetMessage& ServerSocket::nextReply() {
  if (queued_ == replies_.size()) replies_.emplace_back();
  return replies_[queued_].message;
}

void ServerSocket::queue(const uint8_t* client, size_t length) {
  memcpy(replies_[queued_].client, client, kMacSize);
  replies_[queued_].length = length;
  ++queued_;
}

void ServerSocket::sendQueued() {
  if (!frames_.isOpen()) {
    for (size_t i = 0; i < queued_; ++i) (void)broadcast(replies_[i].message, replies_[i].length);
  } else {
    outgoing_.resize(queued_);
    for (size_t i = 0; i < queued_; ++i) {
      outgoing_[i] = {replies_[i].client, replies_[i].message.bytes, replies_[i].length};
    }
    (void)frames_.sendAll(outgoing_.data(), queued_);  // the installers ask again for what is lost
  }
  queued_ = 0;
}

bool ServerSocket::broadcast(const NetMessage& message, size_t length) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(kProtocolPort);
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  long sent;
  do {
    // Never waiting for a full queue, also when the socket waits in its
    // receive: what is lost is asked for again.
    sent = sendto(udp_, message.bytes, length, MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<long>(length);
}
