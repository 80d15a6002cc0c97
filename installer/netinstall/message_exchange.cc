// The request/reply side of InstallClient: discovery by broadcast, the
// confirmed requests, the driver request and the closing wait.

#include <sys/select.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>

#include "netinstall/clock.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/install_client.h"

namespace {

// The closing wait may repeat its request for ever; its count of sends
// stops here (only the first few matter to sendRequest).
constexpr int kMostCountedSends = 1000;

}  // namespace

bool InstallClient::broadcastRequest(NetMessage& message, uint16_t payloadLength) {
  // Without any card there is nothing to wait for but a card: look again
  // every cycle. (A scan comes back empty, too, when a single query fails
  // for a passing reason.)
  if (++broadcastCount >= timing.rescanEvery || endpoints.empty()) {
    receiver.reset();  // it points at an endpoint that is about to go
    for (const auto& endpoint : endpoints) receivedBeforeScan_ += endpoint->datagramsReceived;
    // The old sockets hold the port on their cards: close them before the
    // new ones are bound, or every card already known would be left out.
    endpoints.clear();
    endpoints = scanInterfaces(onlyInterfaces);
    broadcastCount = 0;
  }
  waitTimeout = timevalFromUsec(timing.discoveryCycleUsec);
  selected = -1;
  link.resetCounters();
  memset(link.peerAddress, 0, kMacSize);
  bool sentEverywhere = true;
  for (const auto& endpoint : endpoints) {
    memcpy(link.ownAddress, endpoint->mac, kMacSize);
    link.stamp(message, payloadLength);
    // Every copy goes out as sequence 1, and the first request after the
    // discovery is stamped 1 again.
    link.resetCounters();
    // A send that fails on one card (even for a passing reason) must not
    // keep the message from the others: the server may sit behind any.
    if (endpoint->send(message.bytes, message.datagramLength()) < 0) sentEverywhere = false;
  }
  return sentEverywhere;
}

bool InstallClient::waitForTag(NetMessage& message, const char* tag) {
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    for (const auto& endpoint : endpoints) {
      FD_SET(endpoint->socket, &readable);
      if (endpoint->socket > highest) highest = endpoint->socket;
    }
    // Linux counts waitTimeout down, so all waits of a cycle share its time.
    int ready = select(highest + 1, &readable, nullptr, nullptr, &waitTimeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    for (size_t index = 0; index < endpoints.size(); ++index) {
      NetEndpoint& endpoint = *endpoints[index];
      if (!FD_ISSET(endpoint.socket, &readable)) continue;
      long length;
      while ((length = endpoint.receive(message)) >= 0) {
        // Any server may answer a discovery, on whichever interface it sits.
        memset(link.peerAddress, 0, kMacSize);
        memcpy(link.ownAddress, endpoint.mac, kMacSize);
        // A message addressed to nobody is never an answer: it is another
        // installer's discovery, which every machine on the segment hears.
        // Passed to the link's rules it would use up number 1 of this cycle,
        // and the server's offer to us, numbered 1 too, would be turned
        // away: with many machines booting together, cycle after cycle.
        if (length >= static_cast<long>(kHeaderSize) && isZeroMac(message.target())) continue;
        if (!link.accept(message, length)) continue;
        if (!message.payloadBeginsWith(tag)) continue;
        selected = static_cast<int>(index);
        memcpy(link.peerAddress, message.source(), kMacSize);
        return true;
      }
    }
  }
}

void InstallClient::discover(const char* opaqueShort, const char* opaqueLong, const char* label,
                             char* offerText, size_t offerCapacity, bool& keepOut) {
  keepOut = false;
  NetMessage message;
  for (;;) {
    composeDiscovery(message, opaqueShort, opaqueLong, label);
    (void)broadcastRequest(message, message.payloadLength());  // answers are awaited anyway
    // An offer that cannot be read is passed over for the rest of the cycle.
    while (waitForTag(message, messageTag(MessageType::offer))) {
      if (parseOffer(message.payloadText(), message.payloadLength(), offerText, offerCapacity,
                     keepOut)) {
        return;
      }
    }
  }
}

bool InstallClient::findServer(const char* opaqueShort, const char* opaqueLong, const char* label,
                               char* offerText, size_t offerCapacity, bool& keepOut) {
  for (;;) {
    discover(opaqueShort, opaqueLong, label, offerText, offerCapacity, keepOut);
    NetMessage reply;
    if (exchange("YACK\n", reply, confirmTiming()) >= 0) return true;
  }
}

void InstallClient::requestDrivers() {
  utsname system;
  const char* release = uname(&system) == 0 ? system.release : "";
  NetMessage message;
  do {
    composeDriverRequest(message, release);
    (void)broadcastRequest(message, message.payloadLength());  // answers are awaited anyway
  } while (!waitForTag(message, messageTag(MessageType::driverOffer)));
}

bool InstallClient::startInstallation() {
  NetMessage reply;
  return exchange(messageTag(MessageType::start), reply, confirmTiming()) >= 0;
}

void InstallClient::awaitTermination() {
  if (selected < 0 || static_cast<size_t>(selected) >= endpoints.size()) return;
  NetEndpoint& endpoint = *endpoints[selected];
  NetMessage request;
  request.clear();
  (void)request.setPayloadText(messageTag(MessageType::awaitTermination), false);
  link.stamp(request, request.payloadLength());
  NetMessage reply;
  for (int sends = 0;; sends += sends < kMostCountedSends ? 1 : 0) {
    // A failed send is simply repeated with the next budget.
    (void)endpoint.sendRequest(link, request, sends);
    timeval budget = timevalFromUsec(timing.closingUsec);
    for (;;) {
      long length = endpoint.receiveOrConsole(reply, budget);
      if (length == kConsoleInput) return;
      if (length == kWaitFailed) {
        // Let the budget pass before sending again: a wait that keeps failing
        // must not turn into a flood of requests.
        (void)select(0, nullptr, nullptr, nullptr, &budget);
        break;
      }
      if (length == kReceiveTimedOut) break;
      if (link.accept(reply, length) &&
          reply.payloadBeginsWith(messageTag(MessageType::terminate))) {
        return;
      }
    }
  }
}

long InstallClient::exchange(const char* text, NetMessage& reply, RequestTiming requestTiming) {
  if (selected < 0 || static_cast<size_t>(selected) >= endpoints.size()) return -1;
  NetMessage request;
  request.clear();
  if (!request.setPayloadText(text, /*withTerminator=*/false)) return -1;
  link.stamp(request, request.payloadLength());
  return endpoints[selected]->sendAndWait(link, request, reply, requestTiming.timeoutUsec,
                                          requestTiming.attempts);
}
