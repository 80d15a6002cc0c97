#include "netinstall/frame_socket.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netinstall/udp_frames.h"

namespace {

// A 4096-byte message over the smallest IP MTU (68) takes 86 fragments.
constexpr size_t kMostFrames = 128;
// The most messages one sendmmsg takes (UIO_MAXIOV).
constexpr size_t kMostPerCall = 1024;

}  // namespace

bool FrameSocket::open(const char* interfaceName, const uint8_t* sourceMac) {
  close();
  unsigned index = if_nametoindex(interfaceName);
  if (index == 0) return false;
  // Protocol 0: the socket only sends; no frame is ever queued on it.
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    ::close(fd);
    return false;
  }
  ifreq request;
  memset(&request, 0, sizeof request);
  // if_nametoindex found the name, so it fits.
  memcpy(request.ifr_name, interfaceName, strnlen(interfaceName, IFNAMSIZ - 1));
  mtu_ = 1500;
  if (ioctl(fd, SIOCGIFMTU, &request) == 0 && request.ifr_mtu > 0) {
    mtu_ = static_cast<size_t>(request.ifr_mtu);
  }
  address_ = 0;
  if (ioctl(fd, SIOCGIFADDR, &request) == 0) {
    address_ = reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr;
  }
  memcpy(mac_, sourceMac, kMacSize);
  fd_ = fd;
  return true;
}

void FrameSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

UdpRoute FrameSocket::routeTo(const uint8_t* destination) const {
  UdpRoute route{};
  memcpy(route.sourceMac, mac_, kMacSize);
  if (destination != nullptr) memcpy(route.destinationMac, destination, kMacSize);
  route.sourceIp = address_;
  route.destinationIp = htonl(INADDR_BROADCAST);
  route.port = kProtocolPort;
  return route;
}

bool FrameSocket::sendAll(const Datagram* datagrams, size_t count) {
  UdpRoute route = routeTo(nullptr);
  if (batch_.size() < count) batch_.resize(count);
  parts_.clear();
  bool whole = true;
  for (size_t index = 0; index < count; ++index) {
    const Datagram& datagram = datagrams[index];
    memcpy(route.destinationMac, datagram.destination, kMacSize);
    size_t built = buildUdpFrames(route, static_cast<const uint8_t*>(datagram.data),
                                  datagram.length, nextIdentification(), mtu_, batch_[index]);
    if (built == 0 || built > kMostFrames) {
      whole = false;
      continue;
    }
    for (size_t frame = 0; frame < built; ++frame) {
      parts_.push_back({batch_[index][frame].data(), batch_[index][frame].size()});
    }
  }
  // After every part is in place: the vector no longer moves.
  messages_.assign(parts_.size(), mmsghdr{});
  for (size_t index = 0; index < parts_.size(); ++index) {
    messages_[index].msg_hdr.msg_iov = &parts_[index];
    messages_[index].msg_hdr.msg_iovlen = 1;
  }
  size_t done = 0;
  while (done < messages_.size()) {
    size_t chunk = messages_.size() - done < kMostPerCall ? messages_.size() - done : kMostPerCall;
    int sent = sendmmsg(fd_, messages_.data() + done, static_cast<unsigned>(chunk), MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    // A full queue: the rest is lost on the way, as a wire would lose it.
    if (sent <= 0) break;
    done += static_cast<size_t>(sent);
  }
  return whole && done == messages_.size();
}

long FrameSocket::send(const uint8_t* destination, const void* data, size_t length) {
  UdpRoute route = routeTo(destination);
  size_t count = buildUdpFrames(route, static_cast<const uint8_t*>(data), length,
                                nextIdentification(), mtu_, frames_);
  if (count == 0 || count > kMostFrames) {
    errno = EMSGSIZE;
    return -1;
  }
  iovec parts[kMostFrames];
  mmsghdr messages[kMostFrames];
  memset(messages, 0, sizeof(mmsghdr) * count);
  for (size_t index = 0; index < count; ++index) {
    parts[index] = {frames_[index].data(), frames_[index].size()};
    messages[index].msg_hdr.msg_iov = &parts[index];
    messages[index].msg_hdr.msg_iovlen = 1;
  }
  // All fragments in one call: a frame dropped here is a datagram lost, and
  // the installer asks again.
  int sent = sendmmsg(fd_, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
  if (sent < 0) return -1;
  if (static_cast<size_t>(sent) != count) {
    errno = ENOBUFS;
    return -1;
  }
  return static_cast<long>(length);
}
