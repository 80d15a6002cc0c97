#include "server/protocol/server_socket.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

}  // namespace

ServerSocket::~ServerSocket() {
  if (fd_ >= 0) close(fd_);
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
  // A crowd's requests arrive together: a thousand installers each have
  // one waiting, and the kernel counts each at a few KiB. The default
  // buffer holds about a hundred; the rest would be dropped and every
  // dropped installer would lose a second to its time-out.
  int room = kReceiveBufferBytes;
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);  // capped by rmem_max
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
  // Without the packet socket every reply is broadcast: slower on a busy
  // segment, but every installer still gets its replies.
  (void)frames_.open(interfaceName.c_str(), mac_);
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
  if (!frames_.isOpen()) return broadcast(message, length);
  return frames_.send(client, message.bytes, length) == static_cast<long>(length);
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
