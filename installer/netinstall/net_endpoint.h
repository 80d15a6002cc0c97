#pragma once
// One UDP endpoint per network interface: the socket that sends the
// protocol's datagrams to the limited broadcast address on that interface and
// receives the server's messages there, and a packet socket that sends the
// requests to a known server as frames to its hardware address alone. The
// installer has no IP configuration of its own; stations are told apart by
// the hardware addresses inside the messages, never by IP addresses.

#include <netinet/in.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "netinstall/frame_socket.h"
#include "netinstall/link_state.h"
#include "netinstall/net_message.h"

// Results of receiveOrConsole besides a datagram's length.
constexpr long kReceiveTimedOut = -1;
constexpr long kConsoleInput = -2;
constexpr long kWaitFailed = 0;

// Whether a send that failed with `error` only met a passing obstacle, so
// that nothing but the datagram was lost and sending it again may work.
bool isPassingSendFailure(int error);

struct NetEndpoint {
  uint8_t mac[kMacSize] = {};  // hardware address of the interface
  int socket = -1;             // closed only when > 0
  sockaddr_in destination{};   // 255.255.255.255, the protocol port
  sockaddr_in lastSender{};    // filled by every receive
  uint64_t datagramsReceived = 0;  // every datagram the process took in, ours or not
  FrameSocket frames;              // requests to the server alone; closed: broadcast

  NetEndpoint() = default;
  NetEndpoint(const NetEndpoint&) = delete;
  NetEndpoint& operator=(const NetEndpoint&) = delete;
  ~NetEndpoint() { close(); }

  // Opens a broadcast socket bound to `interfaceName` and to `port` on any
  // address, and brings the interface up (up, running, promiscuous; address
  // 0.0.0.0 when it has no IPv4 address). The interface stays so: nothing is
  // undone. False when any step fails; the caller then closes the endpoint.
  // The packet socket is opened last; without it requests are broadcast.
  [[nodiscard]] bool open(const char* interfaceName, uint16_t port);

  // One datagram to `destination`; the result of sendto unchanged.
  long send(const void* data, size_t length);

  // Sends one request of `link` (its datagramLength() bytes). While the
  // server's hardware address is known and `link.directRequests` holds, it
  // goes as a frame to that address alone, the same datagram as a broadcast
  // would carry; otherwise, or without the packet socket, it is broadcast.
  // `earlierSends` counts the sends of this request that went unanswered:
  // from the third send on, or when the packet socket fails for good, the
  // link's requests are broadcast for the rest of the run. The result of the
  // send, as send().
  long sendRequest(LinkState& link, const NetMessage& request, int earlierSends);

  // Makes the kernel drop, before they wake the process, datagrams whose
  // target is neither all zero nor one of `ownAddresses`: the acceptance
  // rules would drop them without effect. False when the filter cannot be
  // attached (the socket then still receives everything).
  bool dropOthersTraffic(const std::vector<const uint8_t*>& ownAddresses);

  // One datagram into `message` (at most its 4096 bytes) without waiting.
  // Its length, or -1 on error or when it came from another port than ours.
  long receive(NetMessage& message);

  // Waits at most `usec` for a datagram: its length, or -1 on time-out/error.
  long receiveWithin(NetMessage& message, int64_t usec);

  // Waits for a datagram or for console input (descriptor 0), spending from
  // `remaining`, which the wait counts down so that successive calls share one
  // budget. Returns the datagram's length, kReceiveTimedOut, kConsoleInput
  // (the input is left unread) or kWaitFailed.
  long receiveOrConsole(NetMessage& message, timeval& remaining);

  void close();

  // Sends `request` (sendRequest) and waits `timeoutUsec` for the reply
  // that `link` accepts, up to `attempts` times; each repetition is the
  // same datagram with the same sequence number; a send that fails for
  // a passing reason (isPassingSendFailure) counts as an attempt whose
  // datagram was lost. The accepted reply's length, or -1 (also at once when
  // a send fails otherwise or is short).
  long sendAndWait(LinkState& link, const NetMessage& request, NetMessage& reply,
                   int64_t timeoutUsec, int attempts);

  // Waits until `timeoutUsec` has passed for a datagram that `link` accepts;
  // others are dropped without effect. Its length, or -1.
  long waitForReply(LinkState& link, NetMessage& reply, int64_t timeoutUsec);
};
