// The installation server fed any datagrams from any hardware addresses:
// discoveries, driver requests, confirmed requests, file requests, in any
// order and at any time, against a real root (drivers, packages, scripts).
// Every reply must be a whole datagram from the server, to the station that
// asked, and the table of installers must stay within its bound.

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "fuzz_input.h"
#include "server/protocol/server_protocol.h"
#include "server_root.h"

namespace {

const uint8_t kServer[kMacSize] = {0x02, 0x5E, 0, 0, 0, 0x01};
// The server's own times: a file is closed after 120 s of silence, an
// installer forgotten after a day.
constexpr int64_t kFileSeconds = 120;
constexpr int64_t kForgetSeconds = 24 * 60 * 60;
std::string root;

void removeRoot() { removeServerRoot(root); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  root = makeServerRoot();
  atexit(removeRoot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Records records(data, size);
  uint8_t setting = records.byte();
  // Small blocks make files of many blocks; the default is the largest.
  LinkConfig config{root, (setting & 1) != 0, (setting & 2) != 0 ? size_t{700} : kMaxPayload};
  ServerProtocol server(kServer, config, [](const uint8_t*, const ServerEvent& event) {
    FUZZ_CHECK(event.text.find('\n') == std::string::npos);  // one line, whatever was sent
  });
  int64_t now = 0;
  const uint8_t* datagram;
  size_t length;
  for (;;) {
    uint8_t step = records.byte();  // seconds since the last datagram
    if (!records.next(datagram, length)) break;
    now += step == 0xFF ? kForgetSeconds : step;
    NetMessage request;
    request.clear();
    size_t received = length < kMessageSize ? length : kMessageSize;
    memcpy(request.bytes, datagram, received);
    NetMessage reply;
    size_t replyLength = server.handle(request, received, reply, now);
    if (replyLength > 0) {
      FUZZ_CHECK(replyLength >= kHeaderSize && replyLength <= kMessageSize);
      FUZZ_CHECK(replyLength == reply.datagramLength());
      FUZZ_CHECK(memcmp(reply.source(), kServer, kMacSize) == 0);
      FUZZ_CHECK(memcmp(reply.target(), request.source(), kMacSize) == 0);
    }
    if (step >= 10) server.expire(now, kFileSeconds, kForgetSeconds);
    FUZZ_CHECK(server.clientCount() <= kMostInstallers);
    FUZZ_CHECK(server.offeredCount() <= kMostOfferedStations);
    if (step == 0xFE) server.report();
  }
  return 0;
}
