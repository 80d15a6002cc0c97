// The server's protocol driven in memory by the installer's own link rules
// (LinkState): every reply below is one the real client would take or drop.

#include "server/protocol/server_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "netinstall/discovery_payload.h"
#include "netinstall/file_header.h"
#include "netinstall/link_state.h"
#include "netinstall/net_test_support.h"
#include "server/protocol/server_test_tree.h"
#include "server/protocol/session_limits.h"

namespace {

const uint8_t kServer[kMacSize] = {0x02, 0x5E, 0, 0, 0, 0x01};
const uint8_t kClientA[kMacSize] = {0x02, 0xC1, 0, 0, 0, 0x0A};
const uint8_t kClientB[kMacSize] = {0x02, 0xC1, 0, 0, 0, 0x0B};
const uint8_t kOtherServer[kMacSize] = {0x02, 0x5E, 0, 0, 0, 0x02};

// One installer's side, as InstallClient does it, without sockets.
class Installer {
 public:
  Installer(ServerProtocol& server, const uint8_t* mac) : server_(server) {
    link.clear();
    memcpy(link.ownAddress, mac, kMacSize);
  }

  // A discovery ("DSCV") or driver request ("DRVR") as broadcastRequest
  // sends it; true when the answer was taken as waitForTag takes it.
  bool broadcast(const NetMessage& built, const char* answerTag) {
    NetMessage message = built;
    link.resetCounters();
    memset(link.peerAddress, 0, kMacSize);
    link.stamp(message, message.payloadLength());
    link.resetCounters();
    lastRequest = message;
    NetMessage reply;
    size_t length = server_.handle(message, message.datagramLength(), reply, now);
    if (length == 0 || !link.accept(reply, static_cast<long>(length))) return false;
    if (isZeroMac(reply.target()) || !reply.payloadBeginsWith(answerTag)) return false;
    memcpy(link.peerAddress, reply.source(), kMacSize);
    lastReply = reply;
    return true;
  }

  bool discover(const char* label = "korvanel") {
    NetMessage message;
    composeDiscovery(message, "", "", label);
    return broadcast(message, "OFFR");
  }

  // A request stamped once; true when the reply is accepted (it is then in
  // lastReply).
  bool request(const char* text) {
    NetMessage message;
    message.clear();
    EXPECT_TRUE(message.setPayloadText(text, false));
    link.stamp(message, message.payloadLength());
    lastRequest = message;
    return resend();
  }

  // The last request again, as after a time-out.
  bool resend() {
    NetMessage reply;
    replyLength = server_.handle(lastRequest, lastRequest.datagramLength(), reply, now);
    if (replyLength == 0 || !link.accept(reply, static_cast<long>(replyLength))) return false;
    lastReply = reply;
    return true;
  }

  std::string replyPayload() const {
    return std::string(lastReply.payloadText(), lastReply.payloadLength());
  }

  // "RETR" for the next header: the name, or "" at the end of the files.
  std::string nextHeader(int* mark = nullptr) {
    if (!request("RETR")) return "<no reply>";
    char name[kFileNameSize];
    int fileMark = 0;
    if (parseFileHeader(lastReply.payloadText(), lastReply.payloadLength(), name, fileMark) !=
        FileHeader::file) {
      return "";
    }
    if (mark != nullptr) *mark = fileMark;
    return name;
  }

  // "RETR" until the empty block: the file's bytes. A file that does not end
  // is cut off past `most` bytes.
  std::string readFile(size_t most = 1 << 20) {
    std::string data;
    for (;;) {
      if (!request("RETR")) return data + "<no reply>";
      if (lastReply.payloadLength() == 0) return data;
      if (data.size() > most) return data + "<no end>";
      data.append(reinterpret_cast<const char*>(lastReply.payload()), lastReply.payloadLength());
    }
  }

  LinkState link;
  NetMessage lastRequest;
  NetMessage lastReply;
  size_t replyLength = 0;
  int64_t now = 1000;

 private:
  ServerProtocol& server_;
};

class ServerProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sorted by name "apps" would come first; it needs "base".
    tree.writePackages({package("apps", {"base"}), package("base")});
    tree.write("scripts/autorun.scr", "echo configured\n");
    tree.write("scripts/big.scr", patternData(10000, 1));
    tree.write("scripts/edge.scr", patternData(4076, 2));
    tree.write("scripts/empty.scr", "");
    tree.write("drivers/6.1.0-28-686.bdl", patternData(5000, 3));
  }

  std::string contents(const std::string& relativePath) {
    std::ifstream file(tree.root() + "/" + relativePath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<ServerProtocol> makeServer(bool keep = false, size_t blockSize = 4076,
                                             size_t mostInstallers = kMostInstallers) {
    LinkConfig config{tree.root(), keep, blockSize};
    return std::make_unique<ServerProtocol>(
        kServer, config,
        [this](const uint8_t* client, const ServerEvent& event) {
          log.push_back((client != nullptr ? std::to_string(client[5]) : "server") + " " +
                        event.text);
          events.push_back(event);
        },
        mostInstallers);
  }

  TestTree tree;
  std::vector<std::string> log;
  std::vector<ServerEvent> events;
};

TEST_F(ServerProtocolTest, WholeInstallationFromDiscoveryToTerm) {
  auto server = makeServer(/*keep=*/true);
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover("lab-router"));
  EXPECT_EQ(installer.lastReply.sequence(), 1);
  EXPECT_EQ(installer.lastReply.acknowledgement(), 0);
  EXPECT_EQ(0, memcmp(installer.lastReply.target(), kClientA, kMacSize));
  EXPECT_EQ(installer.replyPayload(), "OFFR\nKorvanel installation\nkeep\n");

  ASSERT_TRUE(installer.request("YACK\n"));
  EXPECT_EQ(installer.lastRequest.sequence(), 1);
  EXPECT_EQ(installer.lastRequest.acknowledgement(), 1);
  EXPECT_EQ(installer.lastReply.sequence(), 2);
  ASSERT_TRUE(installer.request("STRT"));

  std::vector<std::string> received;
  int mark = -1;
  for (std::string name; !(name = installer.nextHeader(&mark)).empty();) {
    ASSERT_NE(name, "<no reply>");
    std::string data = installer.readFile();
    EXPECT_EQ(data, contents((mark == 1 ? "scripts/" : "packages/") + name)) << name;
    received.push_back(name + ":" + std::to_string(mark));
  }
  EXPECT_EQ(received, (std::vector<std::string>{"base.bdl:0", "apps.bdl:0", "autorun.scr:1",
                                                "big.scr:1", "edge.scr:1", "empty.scr:1"}));
  ASSERT_TRUE(installer.request("WTRM"));
  EXPECT_EQ(installer.replyPayload(), "TERM");
  std::string baseSize = std::to_string(contents("packages/base.bdl").size());
  std::vector<std::string> expected = {
      "10 found, disk label \"lab-router\"",
      "10 offered installation, keeping the old configuration",
      "10 took the offer",
      "10 started: 2 packages, 4 scripts",
      "10 sending base.bdl (" + baseSize + " bytes)",
      "10 sent base.bdl (" + baseSize + " bytes)",
  };
  ASSERT_GE(log.size(), expected.size() + 2);
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 6), expected);
  EXPECT_EQ(log[log.size() - 5], "10 sent edge.scr (4076 bytes)");
  EXPECT_EQ(log[log.size() - 4], "10 sending empty.scr (0 bytes)");
  EXPECT_EQ(log[log.size() - 3], "10 sent empty.scr (0 bytes)");
  EXPECT_EQ(log[log.size() - 2], "10 all files sent");
  EXPECT_EQ(log.back(), "10 done");
}

// The reply-per-request contract: a repeated request gets the same reply
// byte for byte, and the file does not move on.
TEST_F(ServerProtocolTest, RepeatedRequestGetsTheSameReplyAndNothingAdvances) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  ASSERT_TRUE(installer.request("YACK\n"));
  ASSERT_TRUE(installer.request("STRT"));
  ASSERT_EQ(installer.nextHeader(), "base.bdl");
  ASSERT_TRUE(installer.request("RETR"));
  NetMessage first = installer.lastReply;
  size_t firstLength = installer.replyLength;

  // The reply was lost: the installer sends the same request again.
  for (int repeat = 0; repeat < 3; ++repeat) {
    NetMessage again;
    size_t length = server->handle(installer.lastRequest, installer.lastRequest.datagramLength(),
                                   again, installer.now);
    ASSERT_EQ(length, firstLength);
    EXPECT_EQ(0, memcmp(again.bytes, first.bytes, length));
  }
  ASSERT_TRUE(installer.request("RETR"));
  EXPECT_EQ(installer.lastReply.payloadLength(), 0) << "base.bdl is one block: the end follows";
  EXPECT_EQ(installer.nextHeader(), "apps.bdl");
}

TEST_F(ServerProtocolTest, DropsWhatIsNotTheNextRequestForIt) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  ASSERT_TRUE(installer.request("YACK\n"));
  NetMessage request;
  request.clear();
  ASSERT_TRUE(request.setPayloadText("STRT", false));
  installer.link.stamp(request, 4);
  NetMessage reply;

  NetMessage skipped = request;
  skipped.setSequence(static_cast<uint16_t>(request.sequence() + 1));
  NetMessage old = request;
  old.setSequence(static_cast<uint16_t>(request.sequence() - 2));
  NetMessage otherServer = request;
  otherServer.setTarget(kOtherServer);
  NetMessage looped = request;
  looped.setSource(kServer);
  NetMessage unknownClient = request;
  unknownClient.setSource(kClientB);
  NetMessage unknownTag = request;
  ASSERT_TRUE(unknownTag.setPayloadText("HELO", false));

  EXPECT_EQ(server->handle(skipped, skipped.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(old, old.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(otherServer, otherServer.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(looped, looped.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(unknownClient, unknownClient.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(unknownTag, unknownTag.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(request, 19, reply, 0), 0u);
  EXPECT_EQ(server->handle(request, request.datagramLength() - 1, reply, 0), 0u);
  EXPECT_EQ(server->clientCount(), 1u);

  // None of it moved the link: the real request is still the next one.
  installer.lastRequest = request;
  EXPECT_TRUE(installer.resend());
  EXPECT_EQ(installer.replyPayload(), "OKAY");
}

// A discovery that the network held back and delivers late must not cut a
// running transfer off; an installer that really starts over is served anew.
TEST_F(ServerProtocolTest, LateDiscoveryLeavesTheTransferAndARestartBeginsAgain) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  NetMessage lateDiscovery = installer.lastRequest;
  ASSERT_TRUE(installer.request("YACK\n"));
  ASSERT_TRUE(installer.request("STRT"));
  ASSERT_EQ(installer.nextHeader(), "base.bdl");

  NetMessage reply;
  EXPECT_GT(server->handle(lateDiscovery, lateDiscovery.datagramLength(), reply, 0), 0u)
      << "a discovery is always answered";
  EXPECT_EQ(installer.readFile(), contents("packages/base.bdl"));
  EXPECT_EQ(installer.nextHeader(), "apps.bdl");

  Installer restarted(*server, kClientA);
  ASSERT_TRUE(restarted.discover());
  ASSERT_TRUE(restarted.request("YACK\n"));
  ASSERT_TRUE(restarted.request("STRT"));
  EXPECT_EQ(restarted.nextHeader(), "base.bdl") << "the new link starts with the first file";
}

TEST_F(ServerProtocolTest, RepeatedDiscoveryGetsTheSameOfferAndOneLogLine) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  NetMessage first = installer.lastReply;
  ASSERT_TRUE(installer.discover());
  EXPECT_EQ(0, memcmp(first.bytes, installer.lastReply.bytes, first.datagramLength()));
  EXPECT_EQ(log.size(), 2u) << "found and offered, once";
}

TEST_F(ServerProtocolTest, DriversForTheNamedKernelOnly) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  NetMessage request;
  composeDriverRequest(request, "6.1.0-28-686");
  ASSERT_TRUE(installer.broadcast(request, "OFDR"));
  EXPECT_EQ(installer.nextHeader(), "6.1.0-28-686.bdl");
  EXPECT_EQ(installer.readFile(), patternData(5000, 3));
  EXPECT_EQ(installer.nextHeader(), "") << "the driver package is the only file";

  Installer unknown(*server, kClientB);
  composeDriverRequest(request, "../packages/base");
  ASSERT_TRUE(unknown.broadcast(request, "OFDR"));
  EXPECT_EQ(unknown.nextHeader(), "") << "no such driver file: the client is told at once";
  EXPECT_EQ(log.back(), "11 asks for the drivers of kernel \"../packages/base\": "
                        "there is no such file in drivers/");
}

// 70,000 one-byte blocks carry both sequence counters past 65535. A
// discovery that the network held back and delivers during the transfer
// leaves a fresh link waiting beside the running one; when the running
// link's numbers wrap, its next request looks like the first request of a
// fresh link (number 1, acknowledging 1): the waiting link must be long gone
// by then, or the file goes on with the other link's replies.
TEST_F(ServerProtocolTest, SequenceNumbersWrapOnALongTransfer) {
  std::string big = patternData(70000, 9);
  tree.remove("packages");
  tree.remove("scripts");
  tree.makeDirectory("packages");
  tree.write("scripts/big.scr", big);
  for (bool lateDiscovery : {false, true}) {
    auto server = makeServer(false, /*blockSize=*/1);
    Installer installer(*server, kClientA);
    ASSERT_TRUE(installer.discover());
    NetMessage discovery = installer.lastRequest;
    ASSERT_TRUE(installer.request("YACK\n"));
    ASSERT_TRUE(installer.request("STRT"));
    ASSERT_EQ(installer.nextHeader(), "big.scr");
    NetMessage reply;
    if (lateDiscovery) {
      ASSERT_GT(server->handle(discovery, discovery.datagramLength(), reply, 0), 0u);
    }
    std::string data = installer.readFile(big.size());
    EXPECT_EQ(data.size(), big.size()) << lateDiscovery;
    EXPECT_TRUE(data == big) << "the file is what the server holds; " << lateDiscovery;
    EXPECT_EQ(installer.nextHeader(), "");
    EXPECT_EQ(installer.link.sentCount, (70000u + 5u) % 65536u);
  }
}

TEST_F(ServerProtocolTest, InstallersAreServedSideBySide) {
  auto server = makeServer();
  Installer a(*server, kClientA);
  Installer b(*server, kClientB);
  ASSERT_TRUE(a.discover());
  ASSERT_TRUE(b.discover());
  ASSERT_TRUE(a.request("YACK\n"));
  ASSERT_TRUE(b.request("YACK\n"));
  ASSERT_TRUE(a.request("STRT"));
  ASSERT_TRUE(b.request("STRT"));
  std::string base = contents("packages/base.bdl");
  ASSERT_EQ(a.nextHeader(), "base.bdl");
  ASSERT_EQ(a.readFile(), base);
  ASSERT_EQ(b.nextHeader(), "base.bdl") << "each installer has its own place in the files";
  ASSERT_EQ(a.nextHeader(), "apps.bdl");
  ASSERT_TRUE(a.request("RETR"));
  ASSERT_TRUE(b.request("RETR"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.lastReply.payload()),
                        b.lastReply.payloadLength()),
            base);
  EXPECT_EQ(server->clientCount(), 2u);
}

// When the server cannot go on it says so in its log and stays silent: the
// installer runs out of attempts and reports a failure, never a success.
TEST_F(ServerProtocolTest, UnreadableFilesAndTreesGetNoReply) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  ASSERT_TRUE(installer.request("YACK\n"));
  ASSERT_TRUE(installer.request("STRT"));
  tree.remove("packages/base.bdl");
  EXPECT_EQ(installer.nextHeader(), "<no reply>");
  EXPECT_EQ(log.back().rfind("10 cannot read " + tree.root() + "/packages/base.bdl: ", 0), 0u);
  EXPECT_FALSE(installer.resend()) << "nor for the repetition";

  Installer other(*server, kClientB);
  tree.remove("packages");
  ASSERT_TRUE(other.discover());
  ASSERT_TRUE(other.request("YACK\n"));
  EXPECT_FALSE(other.request("STRT"));
  EXPECT_EQ(log.back().rfind("11 cannot start: cannot read", 0), 0u) << log.back();
}

TEST_F(ServerProtocolTest, SilentInstallersLoseTheirFileAndAreForgotten) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  ASSERT_TRUE(installer.request("YACK\n"));
  ASSERT_TRUE(installer.request("STRT"));
  ASSERT_EQ(installer.nextHeader(), "base.bdl");
  server->expire(installer.now + 100, 120, 3600);
  EXPECT_TRUE(server->linkOf(kClientA)->sendingFile());
  server->expire(installer.now + 121, 120, 3600);
  EXPECT_FALSE(server->linkOf(kClientA)->sendingFile());
  EXPECT_EQ(log.back(), "10 gone while sending base.bdl");
  EXPECT_FALSE(installer.request("RETR"));
  server->expire(installer.now + 3601, 120, 3600);
  EXPECT_EQ(server->clientCount(), 0u);
}

// A flood of discoveries and of taken offers from forged addresses: the
// offered stations and the sessions stay within their bounds, and an
// installer that talks all along is served from start to end, also when its
// own offer was pushed out by the flood before it took it.
TEST_F(ServerProtocolTest, AFullTableCutsNoLiveInstallerOffAndMakesRoomOnlyFromTheGone) {
  constexpr size_t kLimit = 8;
  auto server = makeServer(false, 4076, kLimit);
  auto forged = [](uint32_t number) {
    uint8_t mac[kMacSize] = {0x02, 0xF0, uint8_t(number >> 24), uint8_t(number >> 16),
                             uint8_t(number >> 8), uint8_t(number)};
    return std::vector<uint8_t>(mac, mac + kMacSize);
  };
  // The real installer prepares its disk; six stations hold an open file;
  // one has finished.
  Installer real(*server, kClientA);
  ASSERT_TRUE(real.discover());
  ASSERT_TRUE(real.request("YACK\n"));
  std::vector<std::unique_ptr<Installer>> holders;
  for (uint32_t i = 0; i < kLimit - 2; ++i) {
    holders.push_back(std::make_unique<Installer>(*server, forged(i).data()));
    ASSERT_TRUE(holders.back()->discover());
    ASSERT_TRUE(holders.back()->request("YACK\n"));
    ASSERT_TRUE(holders.back()->request("STRT"));
    ASSERT_EQ(holders.back()->nextHeader(), "base.bdl");
  }
  Installer finished(*server, kClientB);
  ASSERT_TRUE(finished.discover());
  ASSERT_TRUE(finished.request("YACK\n"));
  ASSERT_TRUE(finished.request("STRT"));
  while (!finished.nextHeader().empty()) (void)finished.readFile();
  ASSERT_TRUE(finished.request("WTRM"));
  ASSERT_EQ(server->clientCount(), kLimit);

  // Full, and nobody is past a limit yet: a flood of stations waits, its
  // entries bounded, and takes no session even with the offer's reply.
  for (uint32_t i = 0; i < 3 * kMostOfferedStations; ++i) {
    Installer station(*server, forged(1000 + i).data());
    ASSERT_FALSE(station.discover()) << "no offer without room";
    ASSERT_FALSE(station.request("YACK\n")) << "no session without room";
    ASSERT_LE(server->offeredCount(), kMostOfferedStations);
  }
  EXPECT_EQ(server->clientCount(), kLimit);
  size_t waiting = 0;
  server->visitWaiting([&waiting](const uint8_t*, int64_t) { ++waiting; });
  EXPECT_EQ(waiting, kMostOfferedStations);

  // The finished installer has surely heard its answer after 10 s: its
  // place goes first. Two minutes on, the holders are gone too, but the
  // real installer, preparing its disk, keeps its session for 15 minutes.
  Installer late(*server, forged(9000).data());
  late.now += kFinishedSilenceSeconds + 1;
  ASSERT_TRUE(late.discover());
  ASSERT_TRUE(late.request("YACK\n"));
  Installer later(*server, forged(9001).data());
  later.now += kAskingSilenceSeconds + 1;
  ASSERT_TRUE(later.discover());
  ASSERT_TRUE(later.request("YACK\n"));
  real.now += kBusySilenceSeconds - 1;
  for (int i = 0; i < 4; ++i) {  // more newcomers: only the holders make room
    Installer station(*server, forged(9002 + i).data());
    station.now = real.now;
    ASSERT_TRUE(station.discover());
    ASSERT_TRUE(station.request("YACK\n"));
  }
  ASSERT_TRUE(real.request("STRT")) << "the real installer kept its session";
  EXPECT_EQ(real.nextHeader(), "base.bdl");
  EXPECT_EQ(real.readFile(), contents("packages/base.bdl"));

  log.clear();
  server->report();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "server forgot 6 finished or silent installers to make room: at most 8 at once");
  EXPECT_EQ(log[1], "server " + std::to_string(3 * kMostOfferedStations) +
                        " stations waited for room: at most 8 installers at once");
}

TEST_F(ServerProtocolTest, EverySessionHasItsEventsThoughTheOffersWereCounted) {
  auto server = makeServer();
  std::vector<std::unique_ptr<Installer>> stations;
  for (uint8_t i = 0; i < kLoggedStationsPerReport + 4; ++i) {
    const uint8_t mac[kMacSize] = {0x02, 0xC2, 0, 0, 0, i};
    stations.push_back(std::make_unique<Installer>(*server, mac));
    ASSERT_TRUE(i % 2 == 0 ? stations.back()->discover("crowd") : stations.back()->broadcast([] {
      NetMessage message;
      composeDriverRequest(message, "6.1.0-28-686");
      return message;
    }(), "OFDR"));
  }
  size_t before = events.size();
  Installer& drivers = *stations.back();  // odd: a driver offer, counted only
  Installer& install = *stations[stations.size() - 2];
  ASSERT_EQ(drivers.nextHeader(), "6.1.0-28-686.bdl");
  ASSERT_TRUE(install.request("YACK\n"));
  std::vector<std::string> names;
  for (size_t i = before; i < events.size(); ++i) names.push_back(events[i].name);
  EXPECT_EQ(names, (std::vector<std::string>{"drivers", "sending", "found", "offered",
                                             "took-offer"}));
  EXPECT_EQ(events[before + 2].fields["label"], "crowd");
}

TEST_F(ServerProtocolTest, MalformedAndOversizedDatagramsAreCountedAndDropped) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  NetMessage request = installer.lastRequest;
  NetMessage nobody = request;
  nobody.setSource(std::vector<uint8_t>(kMacSize, 0).data());
  NetMessage reply;
  EXPECT_EQ(server->handle(request, 12, reply, 0), 0u);
  EXPECT_EQ(server->handle(request, request.datagramLength() + 1, reply, 0), 0u);
  EXPECT_EQ(server->handle(nobody, nobody.datagramLength(), reply, 0), 0u);
  EXPECT_EQ(server->handle(request, kMessageSize + 1, reply, 0), 0u);
  EXPECT_EQ(server->handle(request, 65507, reply, 0), 0u);
  // The first fragment of a datagram that would fit: no request of ours.
  ReceivedDatagram fragment;
  fragment.length = request.datagramLength();
  fragment.fragmented = true;
  EXPECT_EQ(server->handle(request, fragment, reply, 0), 0u);
  log.clear();
  server->report();
  EXPECT_EQ(log, std::vector<std::string>{"server dropped 4 malformed and 2 oversized datagrams"});
  EXPECT_TRUE(installer.request("YACK\n")) << "the installer is still served";
}

// Where frames are seen, the frame's source is who asks: a header that
// claims another station's address is served nothing, however often it
// comes, and is reported in one line; the claimed station's own requests
// go on being served.
TEST_F(ServerProtocolTest, AHeaderClaimingAnotherAddressThanItsFrameIsNotServed) {
  auto server = makeServer();
  Installer installer(*server, kClientA);
  ASSERT_TRUE(installer.discover());
  ReceivedDatagram fromB;
  memcpy(fromB.frameSource, kClientB, kMacSize);
  fromB.sourceKnown = true;
  fromB.length = installer.lastRequest.datagramLength();
  NetMessage reply;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(server->handle(installer.lastRequest, fromB, reply, 0), 0u);
  }
  NetMessage take;
  take.clear();
  ASSERT_TRUE(take.setPayloadText("YACK\n", false));
  take.setSource(kClientA);
  take.setTarget(kServer);
  take.setSequence(1);
  take.setAcknowledgement(1);
  fromB.length = take.datagramLength();
  EXPECT_EQ(server->handle(take, fromB, reply, 0), 0u) << "B takes A's offer";
  EXPECT_EQ(server->clientCount(), 0u);
  EXPECT_EQ(server->totals().forged, 101u);

  ReceivedDatagram fromA = fromB;
  memcpy(fromA.frameSource, kClientA, kMacSize);
  EXPECT_GT(server->handle(take, fromA, reply, 0), 0u) << "A takes its own";
  EXPECT_EQ(server->clientCount(), 1u);
  log.clear();
  server->report();
  EXPECT_EQ(log, std::vector<std::string>{
                     "server not served: 101 requests whose header claims another hardware "
                     "address than their frame's source (the last from 02:C1:00:00:00:0B, "
                     "claiming 02:C1:00:00:00:0A)"});
  log.clear();
  server->report();
  EXPECT_TRUE(log.empty()) << "counted afresh";
}

}  // namespace
