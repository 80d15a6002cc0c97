// netinstall-server under hostile traffic, in network namespaces of the
// test's own: 200,000 discoveries from forged hardware addresses, more
// forged installers that take the offer, open a file and fall silent than
// the server serves at once (they wait rather than cut anyone off), and malformed and oversized datagrams. Its
// memory is read from /proc; a real installation runs during the flood and
// another one after it.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "netinstall/udp_frames.h"
#include "packages/package_fixtures.h"
#include "server/protocol/server_protocol.h"

namespace {

constexpr uint32_t kForgedDiscoveries = 200000;
// The session table, smaller than by default, and more forged installers
// than it holds.
constexpr uint32_t kSessions = 256;
constexpr uint32_t kForgedInstallers = kSessions + 200;
constexpr uint32_t kMalformed = 500;
constexpr uint32_t kOversized = 500;
// The bound this test holds the server to: what a flood of any size may add
// to its peak resident memory over what one installation needed.
constexpr long kMemoryBoundKib = 16 * 1024;

// A number from the "Key:   value kB" lines of /proc/PID/status.
long statusKib(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// The bytes waiting for the server in its packet sockets for requests (those
// bound to IPv4, one per thread answering, from the server's own view of
// /proc/net/packet): -1 when it has none.
long requestQueue(pid_t pid) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/packet");
  std::string line;
  std::getline(table, line);  // the heading
  long all = -1;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string socket, references, type, protocol, interface, running;
    long waiting = -1;
    fields >> socket >> references >> type >> protocol >> interface >> running >> waiting;
    if (protocol == "0800" && waiting >= 0) all = (all < 0 ? 0 : all) + waiting;
  }
  return all;
}

// The bytes waiting in the server's UDP socket on port 5000, from its own
// view of /proc/net/udp: -1 when it has none.
long udpQueue(pid_t pid) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (local.size() < 5 || local.substr(local.size() - 5) != ":1388") continue;
    return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return -1;
}

// The sum of the first number of every log line that matches `pattern`
// (and of its second number, when `second` is given).
long sumOfLog(const std::string& log, const std::string& pattern, long* second = nullptr) {
  std::regex line(pattern);
  long sum = 0;
  if (second != nullptr) *second = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    sum += std::stol((*it)[1]);
    if (second != nullptr) *second += std::stol((*it)[2]);
  }
  return sum;
}

// Sends datagrams from any hardware address straight to the server's card
// as Ethernet frames, never faster than the server takes them in.
class Forger {
 public:
  Forger(NetNamespace& space, const std::string& card, const uint8_t* serverMac, pid_t server)
      : server_(server) {
    EnterNamespace inside(space);
    socket_ = ::socket(AF_PACKET, SOCK_RAW, 0);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_ifindex = static_cast<int>(if_nametoindex(card.c_str()));
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&link), sizeof link), 0);
    memcpy(route_.destinationMac, serverMac, kMacSize);
    route_.destinationIp = htonl(INADDR_BROADCAST);
    route_.port = kProtocolPort;
  }
  ~Forger() { close(socket_); }

  // `length` bytes from `datagram`, whose first bytes are a message header.
  void send(const uint8_t* datagram, size_t length) {
    memcpy(route_.sourceMac, datagram, kMacSize);
    size_t count = buildUdpFrames(route_, datagram, length, ++identification_, 1500, frames_);
    ASSERT_GT(count, 0u);
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(::send(socket_, frames_[i].data(), frames_[i].size(), 0),
                static_cast<ssize_t>(frames_[i].size()));
    }
    // Now and then, wait until the server has taken in what waits in its
    // socket: a flood the kernel drops on the way tests nothing. (The
    // kernel counts a few KiB per datagram against the socket's buffer.)
    unsent_ += 4096 * count;
    if (unsent_ >= 64 * 4096) {
      drain();
      unsent_ = 0;
    }
  }
  void send(const NetMessage& message) { send(message.bytes, message.datagramLength()); }

  void drain() {
    for (int wait = 0; wait < 100000; ++wait) {
      if (requestQueue(server_) <= 0) return;
      usleep(200);
    }
  }

 private:
  pid_t server_;
  int socket_ = -1;
  UdpRoute route_{};
  uint16_t identification_ = 0;
  size_t unsent_ = 0;  // bytes sent since the last wait
  std::vector<std::vector<uint8_t>> frames_;
};

// A forged station's message: number `n` as its address.
NetMessage forged(uint32_t n, const uint8_t* target, const char* text, uint16_t sequence,
                  uint16_t acknowledgement) {
  NetMessage message;
  if (strcmp(text, "DSCV") == 0) {
    composeDiscovery(message, "", "", "forged");
  } else {
    message.clear();
    EXPECT_TRUE(message.setPayloadText(text, false));
  }
  uint8_t mac[kMacSize] = {0x02, 0xF0, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                           uint8_t(n)};
  message.setSource(mac);
  message.setTarget(target);
  message.setSequence(sequence);
  message.setAcknowledgement(acknowledgement);
  return message;
}

class ServerFlood : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(600);
    hub = NetHub::create();
    ASSERT_TRUE(hub);
  }
  void TearDown() override { alarm(0); }

  std::unique_ptr<NetNamespace> station(const std::string& card, bool up) {
    auto space = hub->station(card, up);
    EXPECT_TRUE(space);
    return space;
  }

  pid_t startInstaller(NetNamespace& space, const std::string& directory) {
    return space.start([directory] {
      TestConsole console;
      InstallClient client;
      ClientTiming timing;
      timing.replyTimeoutUsec = 100000;
      timing.discoveryCycleUsec = 300000;
      timing.closingUsec = 100000;
      std::string result = fetchEverything(client, timing, directory, /*drivers=*/true);
      writeWholeFile(directory + "/result", result);
      return result.empty() ? 0 : 1;
    });
  }

  void expectInstalled(pid_t installer, const std::string& directory) {
    EXPECT_EQ(exitCodeOf(waitBounded(installer, 300)), 0) << readWholeFile(directory + "/result");
    EXPECT_EQ(readWholeFile(directory + "/base.bdl"),
              readWholeFile(scratch / "root/packages/base.bdl"));
    EXPECT_EQ(readWholeFile(directory + "/autorun.scr"), "hostname router\n");
  }

  std::unique_ptr<NetHub> hub;
  ScratchDirectory scratch;
};

TEST_P(ServerFlood, MemoryStaysBoundedAndARealInstallationIsServed) {
  FixturePackage base;
  base.name = "base";
  writeWholeFile(scratch / "root/packages/.keep", "");
  ASSERT_EQ(makeMedium(scratch / "root/packages", {base}), "");
  writeWholeFile(scratch / "root/scripts/autorun.scr", "hostname router\n");
  writeWholeFile(scratch / "root/drivers/" + kernelRelease() + ".bdl", patternData(9000, 4));

  auto server = station("srv0", /*up=*/true);
  auto client = station("card0", /*up=*/false);
  auto flooder = station("fl0", /*up=*/true);
  std::string logPath = scratch / "server.log";
  // The sanitizers' quarantine holds freed memory back for its own checks:
  // it would be counted as the server's.
  pid_t pid = server->spawn({"/usr/bin/env", "ASAN_OPTIONS=quarantine_size_mb=0", GetParam(),
                             "--interface", "srv0", "--root", scratch / "root",
                             "--most-installers", std::to_string(kSessions)},
                            logPath);
  for (int i = 0; i < 100 && readWholeFile(logPath).find(" serving ") == std::string::npos; ++i) {
    usleep(100000);
  }
  ASSERT_NE(readWholeFile(logPath).find(" serving "), std::string::npos) << readWholeFile(logPath);

  // What one installation needs is the base line.
  expectInstalled(startInstaller(*client, scratch / "before"), scratch / "before");
  long baseline = statusKib(pid, "VmHWM");
  ASSERT_GT(baseline, 0);

  uint8_t serverMac[kMacSize];
  ASSERT_TRUE(parseMac(server->macAddress("srv0"), serverMac));
  const uint8_t nobody[kMacSize] = {};
  Forger forger(*flooder, "fl0", serverMac, pid);
  pid_t during = startInstaller(*client, scratch / "during");
  for (uint32_t n = 0; n < kForgedDiscoveries; ++n) {
    forger.send(forged(n, nobody, "DSCV", 1, 0));
  }
  // Installers that take the offer, open their first file and fall silent.
  for (uint32_t n = 0; n < kForgedInstallers; ++n) {
    int sequence = 1;
    for (const char* text : {"YACK\n", "STRT", "RETR", "RETR"}) {
      forger.send(forged(n, serverMac, text, static_cast<uint16_t>(sequence),
                         static_cast<uint16_t>(sequence)));
      ++sequence;
    }
  }
  NetMessage junk = forged(0, serverMac, "RETR", 9, 9);
  // Lengths that disagree with the header's payload length.
  for (uint32_t n = 0; n < kMalformed; ++n) forger.send(junk.bytes, kHeaderSize + 1 + n % 3);
  std::vector<uint8_t> oversized(kMessageSize + 100 + kOversized);
  memcpy(oversized.data(), junk.bytes, kHeaderSize);
  for (uint32_t n = 0; n < kOversized; ++n) forger.send(oversized.data(), kMessageSize + 100 + n);
  forger.drain();
  expectInstalled(during, scratch / "during");

  long peak = statusKib(pid, "VmHWM");
  long growth = peak - baseline;
  RecordProperty("peak_growth_kib", std::to_string(growth));
  fprintf(stderr,
          "%s: peak resident memory %ld KiB after one installation, %ld KiB after the flood\n",
          GetParam().c_str(), baseline, peak);
  EXPECT_LT(growth, kMemoryBoundKib);
  ASSERT_GE(requestQueue(pid), 0) << "the server takes requests in as frames";
  EXPECT_EQ(udpQueue(pid), 0) << "the UDP socket holds the port and takes nothing in";
  // A silent installer holds at most one file: the server's descriptors stay
  // far below its limit.
  int descriptors = 0;
  std::string fdDirectory = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fdDirectory)) {
    (void)entry;
    ++descriptors;
  }
  EXPECT_LE(descriptors, static_cast<int>(kSessions) + 8);

  expectInstalled(startInstaller(*client, scratch / "after"), scratch / "after");
  ASSERT_EQ(kill(pid, 0), 0) << "still serving";
  kill(pid, SIGTERM);
  waitBounded(pid, 20);
  std::string log = readWholeFile(logPath);
  long oversizedCount = 0;
  EXPECT_EQ(sumOfLog(log, R"(dropped (\d+) malformed and (\d+) oversized datagrams)",
                     &oversizedCount),
            kMalformed);
  EXPECT_EQ(oversizedCount, kOversized);
  // Three real installations and the forged stations, less those logged:
  // offered, or, once the offers not taken held every free place, waiting.
  EXPECT_GE(sumOfLog(log, R"((\d+) more stations asked for an offer)") +
                sumOfLog(log, R"((\d+) stations waited for room)"),
            kForgedDiscoveries - 3 * kLoggedStationsPerReport);
  // A full table cuts nobody off: the forged installers beyond it waited.
  EXPECT_GE(sumOfLog(log, R"((\d+) stations waited for room)"), kForgedInstallers - kSessions);
}

INSTANTIATE_TEST_SUITE_P(Builds, ServerFlood,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/netinstall-server",
                                           KORVANEL_I386_DIR "/bin/netinstall-server"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
