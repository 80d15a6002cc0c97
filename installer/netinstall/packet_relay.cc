#include "netinstall/packet_relay.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <vector>

namespace {

constexpr size_t kEthernetHeader = 14;

int64_t nowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int openPacketSocket(const char* name) {
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd < 0) return -1;
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(if_nametoindex(name));
  if (address.sll_ifindex == 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void zeroUdpChecksum(std::vector<uint8_t>& frame) {
  if (frame.size() < kEthernetHeader + 20) return;
  if (frame[12] != 0x08 || frame[13] != 0x00) return;  // IPv4 only
  const uint8_t* ip = frame.data() + kEthernetHeader;
  size_t headerLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
  bool firstFragment = ((ip[6] & 0x1F) | ip[7]) == 0;
  size_t udp = kEthernetHeader + headerLength;
  if (ip[9] != IPPROTO_UDP || !firstFragment || frame.size() < udp + 8) return;
  frame[udp + 6] = 0;
  frame[udp + 7] = 0;
}

struct Pending {
  int64_t due;
  int out;
  std::vector<uint8_t> frame;
};

}  // namespace

int runRelay(const char* a, const char* b, RelayPolicy policy) {
  int sides[2] = {openPacketSocket(a), openPacketSocket(b)};
  if (sides[0] < 0 || sides[1] < 0) return 1;
  uint32_t random = policy.seed * 2654435761u + 1;
  auto roll = [&random](int range) {
    random = random * 1103515245u + 12345u;
    return static_cast<int>((random >> 16) % static_cast<uint32_t>(range));
  };
  std::vector<Pending> pending;
  std::vector<uint8_t> buffer(65536);
  long forwarded = 0, duplicated = 0, delayed = 0;
  auto writeStats = [&] {
    if (policy.statsPath == nullptr) return;
    FILE* stats = fopen(policy.statsPath, "w");
    if (stats == nullptr) return;
    fprintf(stats, "forwarded %ld duplicated %ld delayed %ld\n", forwarded, duplicated, delayed);
    fclose(stats);
  };
  for (;;) {
    int64_t now = nowMs();
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Pending& x, const Pending& y) { return x.due < y.due; });
    while (!pending.empty() && pending.front().due <= now) {
      (void)send(pending.front().out, pending.front().frame.data(), pending.front().frame.size(), 0);
      pending.erase(pending.begin());
    }
    int wait = pending.empty() ? 1000 : static_cast<int>(pending.front().due - now);
    pollfd fds[2] = {{sides[0], POLLIN, 0}, {sides[1], POLLIN, 0}};
    if (poll(fds, 2, wait) <= 0) continue;
    for (int side = 0; side < 2; ++side) {
      if ((fds[side].revents & POLLIN) == 0) continue;
      sockaddr_ll from{};
      socklen_t fromLength = sizeof from;
      ssize_t length = recvfrom(sides[side], buffer.data(), buffer.size(), MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (length <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;  // our own sends
      std::vector<uint8_t> frame(buffer.begin(), buffer.begin() + length);
      zeroUdpChecksum(frame);
      int out = sides[1 - side];
      int64_t delay = policy.maxDelayMs > 0 ? 1 + roll(policy.maxDelayMs) : 0;
      ++forwarded;
      if (roll(100) < policy.duplicatePercent) {
        ++duplicated;
        pending.push_back({now, out, frame});
        pending.push_back({now + delay, out, frame});
      } else if (roll(100) < policy.delayPercent) {
        ++delayed;
        pending.push_back({now + delay, out, frame});
      } else {
        pending.push_back({now, out, frame});
      }
      if (forwarded % 16 == 0) writeStats();
    }
  }
}
