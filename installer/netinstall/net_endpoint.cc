#include "netinstall/net_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bounded_text.h"
#include "netinstall/clock.h"
#include "netinstall/target_filter.h"

namespace {

constexpr int kConsoleFd = 0;
constexpr short kUpFlags = IFF_UP | IFF_RUNNING | IFF_PROMISC;
// Sends of one request to the server's hardware address before the
// installer concludes that such frames do not reach it.
constexpr int kDirectSends = 2;

// Brings the interface up and makes sure it has an IPv4 address, 0.0.0.0
// when it had none; an address it already has is kept.
bool prepareInterface(int socket, const char* name) {
  ifreq request;
  memset(&request, 0, sizeof request);
  copyCut(request.ifr_name, sizeof request.ifr_name, name);
  if (ioctl(socket, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | kUpFlags);
  if (ioctl(socket, SIOCSIFFLAGS, &request) != 0) return false;
  if (ioctl(socket, SIOCGIFADDR, &request) == 0) return true;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  memcpy(&request.ifr_addr, &any, sizeof any);
  return ioctl(socket, SIOCSIFADDR, &request) == 0;
}

}  // namespace

bool isPassingSendFailure(int error) {
  // ENOBUFS and EAGAIN: the card's queue is full for a moment. EINTR: a
  // signal came first. EPERM: a packet filter dropped the datagram.
  return error == ENOBUFS || error == EAGAIN || error == EWOULDBLOCK || error == EINTR ||
         error == EPERM;
}

bool NetEndpoint::open(const char* interfaceName, uint16_t port) {
  socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (socket < 0) return false;
  int on = 1;
  if (setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  (void)fcntl(socket, F_SETFL, O_NONBLOCK);  // every wait is a select; a failure only blocks
  // The terminating zero is part of the option, as the kernel reads a name.
  socklen_t nameLength = static_cast<socklen_t>(strlen(interfaceName) + 1);
  if (setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, interfaceName, nameLength) != 0) {
    return false;
  }
  if (!prepareInterface(socket, interfaceName)) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  destination = sockaddr_in{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(port);
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  // After prepareInterface, so that the frames carry the address the
  // interface has now. Without the socket requests are broadcast.
  (void)frames.open(interfaceName, mac);
  return true;
}

long NetEndpoint::send(const void* data, size_t length) {
  return sendto(socket, data, length, 0, reinterpret_cast<const sockaddr*>(&destination),
                sizeof destination);
}

long NetEndpoint::sendRequest(LinkState& link, const NetMessage& request, int earlierSends) {
  size_t length = request.datagramLength();
  if (link.directRequests && frames.isOpen() && !isZeroMac(link.peerAddress)) {
    if (earlierSends < kDirectSends) {
      long sent = frames.send(link.peerAddress, request.bytes, length);
      if (sent >= 0 || isPassingSendFailure(errno)) return sent;
    }
    // Frames to the server's address went unanswered (or cannot be sent): a
    // broadcast reaches it whatever address it wrote in its header.
    link.directRequests = false;
  }
  return send(request.bytes, length);
}

bool NetEndpoint::dropOthersTraffic(const std::vector<const uint8_t*>& ownAddresses) {
  std::vector<sock_filter> program = targetFilterProgram(ownAddresses);
  if (program.empty()) return false;
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

long NetEndpoint::receive(NetMessage& message) {
  socklen_t senderLength = sizeof lastSender;
  long length = recvfrom(socket, message.bytes, sizeof message.bytes, 0,
                         reinterpret_cast<sockaddr*>(&lastSender), &senderLength);
  if (length < 0) return -1;
  ++datagramsReceived;
  if (lastSender.sin_port != destination.sin_port) return -1;
  return length;
}

long NetEndpoint::receiveWithin(NetMessage& message, int64_t usec) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit = timevalFromUsec(usec);
  if (select(socket + 1, &readable, nullptr, nullptr, &limit) <= 0) return -1;
  return receive(message);
}

long NetEndpoint::receiveOrConsole(NetMessage& message, timeval& remaining) {
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    FD_SET(kConsoleFd, &readable);
    int ready = select(socket + 1, &readable, nullptr, nullptr, &remaining);
    if (ready < 0 && errno == EINTR) continue;  // Linux has counted the budget down
    if (ready < 0) return kWaitFailed;
    if (ready == 0) return kReceiveTimedOut;
    if (FD_ISSET(kConsoleFd, &readable)) return kConsoleInput;
    return receive(message);
  }
}

void NetEndpoint::close() {
  if (socket > 0) ::close(socket);
  socket = -1;
  frames.close();
}

long NetEndpoint::sendAndWait(LinkState& link, const NetMessage& request, NetMessage& reply,
                              int64_t timeoutUsec, int attempts) {
  size_t length = request.datagramLength();
  for (int attempt = 0; attempt < attempts; ++attempt) {
    long sent = sendRequest(link, request, attempt);
    // A send refused for a passing reason is a datagram lost on the way:
    // the wait runs out and the next attempt sends it again.
    bool lostOnTheWay = sent < 0 && isPassingSendFailure(errno);
    if (sent != static_cast<long>(length) && !lostOnTheWay) return -1;
    long received = waitForReply(link, reply, timeoutUsec);
    if (received >= 0) return received;
  }
  return -1;
}

long NetEndpoint::waitForReply(LinkState& link, NetMessage& reply, int64_t timeoutUsec) {
  int64_t now = nowUsec();
  int64_t deadline = now + timeoutUsec;
  for (;;) {
    int64_t left = deadline > now ? deadline - now : 0;
    long length = receiveWithin(reply, left);
    if (length >= 0 && link.accept(reply, length)) return length;
    // Datagrams that are not our reply do not extend the wait.
    now = nowUsec();
    if (now >= deadline) return -1;
  }
}
