#include "server/server_socket.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/udp_frames.h"

namespace {

// A 4096-byte message over the smallest IP MTU (68) takes 86 fragments.
constexpr size_t kMostFrames = 128;

}  // namespace

ServerSocket::~ServerSocket() {
  if (fd_ >= 0) close(fd_);
  if (frameFd_ >= 0) close(frameFd_);
}

void ServerSocket::openFrameSocket(const std::string& interfaceName) {
  ifreq request;
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size());
  if (ioctl(fd_, SIOCGIFMTU, &request) == 0 && request.ifr_mtu > 0) {
    mtu_ = static_cast<size_t>(request.ifr_mtu);
  }
  if (ioctl(fd_, SIOCGIFADDR, &request) == 0) {
    address_ = reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr;
  }
  // Protocol 0: the socket only sends; it receives nothing.
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
  if (link.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    close(fd);
    return;
  }
  frameFd_ = fd;
}

bool ServerSocket::open(const std::string& interfaceName, std::string& error) {
  if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ) {
    error = "no interface named \"" + interfaceName + "\"";
    return false;
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    error = std::string("cannot open a socket: ") + strerror(errno);
    return false;
  }
  ifreq request;
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size());
  if (ioctl(fd_, SIOCGIFFLAGS, &request) != 0) {
    error = "cannot use interface " + interfaceName + ": " + strerror(errno);
    return false;
  }
  if ((request.ifr_flags & IFF_UP) == 0) {
    error = "interface " + interfaceName + " is down";
    return false;
  }
  if (ioctl(fd_, SIOCGIFHWADDR, &request) != 0) {
    error = "cannot read the hardware address of " + interfaceName + ": " + strerror(errno);
    return false;
  }
  memcpy(mac_, request.ifr_hwaddr.sa_data, kMacSize);
  if (isZeroMac(mac_)) {
    error = "interface " + interfaceName + " has no hardware address";
    return false;
  }
  int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                 static_cast<socklen_t>(interfaceName.size() + 1)) != 0) {
    error = "cannot bind to interface " + interfaceName + ": " + strerror(errno);
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kProtocolPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = "cannot use UDP port " + std::to_string(kProtocolPort) + " on " + interfaceName + ": " +
            strerror(errno);
    return false;
  }
  openFrameSocket(interfaceName);
  return true;
}

long ServerSocket::receive(NetMessage& message) {
  for (;;) {
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC: the datagram's whole length, so that an oversized one is
    // told from one that fits the buffer exactly.
    long length = recvfrom(fd_, message.bytes, sizeof message.bytes, MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return -1;
    // Datagrams from other ports are not the protocol's: skip them.
    if (sender.sin_port == htons(kProtocolPort)) return length;
  }
}

bool ServerSocket::sendTo(const uint8_t* client, const NetMessage& message, size_t length) {
  if (frameFd_ < 0) return broadcast(message, length);
  UdpRoute route{};
  memcpy(route.sourceMac, mac_, kMacSize);
  memcpy(route.destinationMac, client, kMacSize);
  route.sourceIp = address_;
  route.destinationIp = htonl(INADDR_BROADCAST);
  route.port = kProtocolPort;
  size_t count = buildUdpFrames(route, message.bytes, length, ++identification_, mtu_, frames_);
  if (count == 0 || count > kMostFrames) return false;
  iovec parts[kMostFrames];
  mmsghdr messages[kMostFrames];
  memset(messages, 0, sizeof messages);
  for (size_t index = 0; index < count; ++index) {
    parts[index] = {frames_[index].data(), frames_[index].size()};
    messages[index].msg_hdr.msg_iov = &parts[index];
    messages[index].msg_hdr.msg_iovlen = 1;
  }
  // All fragments in one call, never waiting for a full queue: a frame
  // dropped here is a datagram lost, and the installer asks again.
  int sent = sendmmsg(frameFd_, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
  return sent == static_cast<int>(count);
}

bool ServerSocket::broadcast(const NetMessage& message, size_t length) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(kProtocolPort);
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  long sent;
  do {
    sent = sendto(fd_, message.bytes, length, 0, reinterpret_cast<const sockaddr*>(&destination),
                  sizeof destination);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<long>(length);
}
