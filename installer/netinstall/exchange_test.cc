// The message exchange against a scripted stand-in server: discovery on
// every card, the acceptance rules met with real datagrams, retransmission
// with unchanged numbers, driver request, start and closing wait.

#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "net_namespace.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "netinstall/client_fixture.h"
#include "netinstall/scripted_peer.h"
#include "output_capture.h"

namespace {

const uint8_t kZero[kMacSize] = {};
const uint8_t kStranger[kMacSize] = {0x02, 0x99, 0x99, 0x99, 0x99, 0x99};

using ExchangeTest = ClientFixture;

TEST_F(ExchangeTest, DiscoveryGoesOutOnEveryCardWithThatCardsAddress) {
  ASSERT_TRUE(connectNamespaces(*client, "card1", *peerSpace, "peer1", /*up=*/true));
  std::unique_ptr<ScriptedPeer> secondPeer = makePeer("peer1");
  ASSERT_TRUE(secondPeer);
  uint8_t secondCard[kMacSize];
  ASSERT_TRUE(parseMac(client->macAddress("card1"), secondCard));
  openClient();
  ASSERT_EQ(installer.interfaceCount(), 2u);

  NetMessage message;
  composeDiscovery(message, "short", "long", "router-7");
  EXPECT_TRUE(installer.broadcastRequest(message, message.payloadLength()));

  const uint8_t* cards[] = {cardMac, secondCard};
  ScriptedPeer* peers[] = {peer.get(), secondPeer.get()};
  for (int i = 0; i < 2; ++i) {
    NetMessage seen;
    ASSERT_TRUE(peers[i]->next(seen)) << i;
    EXPECT_EQ(0, memcmp(seen.source(), cards[i], kMacSize)) << i;
    EXPECT_TRUE(isZeroMac(seen.target()));
    EXPECT_EQ(seen.sequence(), 1);
    EXPECT_EQ(seen.acknowledgement(), 0);
    EXPECT_EQ(payloadString(seen), std::string("DSCV\nshort\nlong\nrouter-7\ni386\n", 30) +
                                       std::string(1, '\0'));
  }
  EXPECT_EQ(installer.link.sentCount, 0u) << "the first request after it is stamped 1 again";

  // A send refused on the first card keeps the message from no other card.
  ASSERT_EQ(client->run({"nft", "add", "table", "inet", "f"}), 0);
  ASSERT_EQ(client->run({"nft", "add", "chain", "inet", "f", "out",
                         "{ type filter hook output priority 0; }"}),
            0);
  ASSERT_EQ(client->run({"nft", "add", "rule", "inet", "f", "out", "oifname", "card0", "drop"}), 0);
  EXPECT_FALSE(installer.broadcastRequest(message, message.payloadLength()));
  NetMessage seen;
  ASSERT_TRUE(secondPeer->next(seen));
  EXPECT_TRUE(seen.payloadBeginsWith("DSCV"));
  installer.close();
}

// Offers that are not for this client, or not next in sequence, are passed
// over; the offer addressed to it is taken with its keep line, and the
// "YACK" is repeated unchanged until the reply numbered 2 comes from the
// server that made the offer.
TEST_F(ExchangeTest, AcceptanceRulesDuringDiscoveryAndConfirmation) {
  openClient();
  peer->run([this](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    const uint8_t* installer = request.source();
    p.send(p.mac(), kStranger, 1, 0, "OFFR\nfor somebody else\nkeep\n");
    p.send(p.mac(), installer, 2, 0, "OFFR\nout of sequence\nkeep\n");
    p.send(p.mac(), installer, 1, 1, "OFFR\nacknowledges too much\nkeep\n");
    p.send(installer, installer, 1, 0, "OFFR\nlooks like its own\nkeep\n");
    p.send(p.mac(), installer, 1, 0, "OFFR\nwelcome\nkeep\n");

    NetMessage yack;
    ASSERT_TRUE(p.next(yack));
    EXPECT_EQ(payloadString(yack), "YACK\n");
    EXPECT_EQ(yack.sequence(), 1);
    EXPECT_EQ(yack.acknowledgement(), 1);
    EXPECT_EQ(0, memcmp(yack.target(), p.mac(), kMacSize));
    // No answer to the first: the repetition carries the same numbers.
    NetMessage again;
    ASSERT_TRUE(p.next(again));
    EXPECT_EQ(again.sequence(), 1);
    EXPECT_EQ(0, memcmp(again.bytes, yack.bytes, yack.datagramLength()));
    p.answer(again, 1, "OKAY");                       // old number
    p.send(kStranger, installer, 2, 1, "OKAY");       // another server
    p.answer(again, 2, "OKAY");                       // the reply
  });
  char offer[512] = "";
  bool keep = false;
  ASSERT_TRUE(installer.findServer("", offer, "label", offer, sizeof offer, keep));
  peer->join();
  EXPECT_STREQ(offer, "welcome");
  EXPECT_TRUE(keep);
  EXPECT_EQ(installer.selected, 0);
  EXPECT_EQ(0, memcmp(installer.link.peerAddress, peer->mac(), kMacSize));
  EXPECT_EQ(installer.link.receivedCount, 2u);
  installer.close();
}

// Messages addressed to nobody (another installer's discovery, heard by
// every machine on the segment, or an offer for nobody) are passed over
// without using up number 1 of the cycle: the offer addressed to this
// installer in the same cycle is taken, not one cycle later.
TEST_F(ExchangeTest, MessagesForNobodyDoNotHideTheOfferOfTheCycle) {
  openClient();
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(kStranger, kZero, 1, 0, "DSCV\n\n\nanother-router\ni386\n");
    p.send(p.mac(), kZero, 1, 0, "OFFR\nfor nobody\n");
    p.send(p.mac(), request.source(), 1, 0, "OFFR\naddressed\n");
    ASSERT_TRUE(p.next(request));
    EXPECT_EQ(payloadString(request), "YACK\n") << "a second discovery: the offer was missed";
    p.answer(request, 2, "OKAY");
  });
  char offer[512] = "";
  bool keep = false;
  ASSERT_TRUE(installer.findServer("", "", "label", offer, sizeof offer, keep));
  peer->join();
  EXPECT_STREQ(offer, "addressed");
  installer.close();
}

// An offer too long for the buffer is ignored; the cycle's second runs out
// and the next discovery finds an offer that fits (511 characters in 512).
TEST_F(ExchangeTest, OfferTooLongIsPassedOver) {
  openClient();
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(p.mac(), request.source(), 1, 0, "OFFR\n" + std::string(512, 'o') + "\n");
    ASSERT_TRUE(p.next(request));
    EXPECT_TRUE(request.payloadBeginsWith("DSCV")) << "a new cycle, not a YACK";
    p.send(p.mac(), request.source(), 1, 0, "OFFR\n" + std::string(511, 'o') + "\n");
    ASSERT_TRUE(p.next(request));
    EXPECT_EQ(payloadString(request), "YACK\n");
    p.answer(request, 2, "OKAY");
  });
  char offer[512] = "";
  bool keep = true;
  ASSERT_TRUE(installer.findServer("", "", "label", offer, sizeof offer, keep));
  peer->join();
  EXPECT_EQ(strlen(offer), 511u);
  EXPECT_FALSE(keep);
  installer.close();
}

// A server that offers but never confirms sends the client back to discovery.
TEST_F(ExchangeTest, UnconfirmedOfferLeadsToANewDiscovery) {
  openClient();
  installer.timing.replyTimeoutUsec = 50000;
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(p.mac(), request.source(), 1, 0, "OFFR\nfirst\n");
    int yacks = 0;
    while (p.next(request) && request.payloadBeginsWith("YACK")) ++yacks;
    EXPECT_EQ(yacks, 5);
    EXPECT_TRUE(request.payloadBeginsWith("DSCV"));
    EXPECT_EQ(request.sequence(), 1);
    p.send(p.mac(), request.source(), 1, 0, "OFFR\nsecond\n");
    ASSERT_TRUE(p.next(request));
    p.answer(request, 2, "OKAY");
  });
  char offer[512] = "";
  bool keep = false;
  ASSERT_TRUE(installer.findServer("", "", "label", offer, sizeof offer, keep));
  peer->join();
  EXPECT_STREQ(offer, "second");
  installer.close();
}

// A server whose header names an address its card does not receive on: the
// first two "YACK"s, sent to that address alone, never reach it; the third
// is broadcast, and so is every later request from its first send on.
TEST_F(ExchangeTest, RequestsUnansweredAtTheServersAddressAreBroadcastFromThenOn) {
  openClient();
  installer.timing.replyTimeoutUsec = 100000;
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(kStranger, request.source(), 1, 0, "OFFR\nfrom a card of another name\n");
    ASSERT_TRUE(p.next(request));
    EXPECT_EQ(payloadString(request), "YACK\n");
    p.send(kStranger, request.source(), 2, 1, "OKAY");
    ASSERT_TRUE(p.next(request));
    EXPECT_EQ(payloadString(request), "STRT");
    p.send(kStranger, request.source(), 3, 2, "OKAY");
  });
  char offer[512] = "";
  bool keep = false;
  ASSERT_TRUE(installer.findServer("", offer, "label", offer, sizeof offer, keep));
  EXPECT_FALSE(installer.link.directRequests);
  installer.timing.confirmAttempts = 1;  // one "STRT" to the stranger's address would be lost
  EXPECT_TRUE(installer.startInstallation());
  peer->join();
  installer.close();
}

// Without any card the server search neither fails nor spins: it looks for
// cards once a discovery cycle and finds the server once one is there.
TEST_F(ExchangeTest, ServerSearchWithoutAnyCardWaitsForOne) {
  auto bare = NetNamespace::create();
  ASSERT_TRUE(bare);
  std::unique_ptr<ScriptedPeer> latePeer;
  std::thread plugIn([&] {
    usleep(300000);  // a few cycles without a card
    if (!connectNamespaces(*bare, "late0", *peerSpace, "late1", /*up=*/true)) return;
    latePeer = makePeer("late1");
    if (!latePeer) return;
    latePeer->run([](ScriptedPeer& p) {
      NetMessage request;
      ASSERT_TRUE(p.next(request));
      p.send(p.mac(), request.source(), 1, 0, "OFFR\nat last\n");
      ASSERT_TRUE(p.next(request));
      p.answer(request, 2, "OKAY");
    });
  });
  // In this thread: the scans read /proc/net/dev of the process's first one.
  EnterNamespace inside(*bare);
  installer.open();
  EXPECT_FALSE(installer.hasInterfaces());
  installer.timing.discoveryCycleUsec = 100000;
  installer.timing.rescanEvery = 1000;  // only the want of a card makes it look again
  char offer[512] = "";
  bool keep = false;
  EXPECT_TRUE(installer.findServer("", offer, "label", offer, sizeof offer, keep));
  plugIn.join();
  ASSERT_TRUE(latePeer);
  latePeer->join();
  EXPECT_STREQ(offer, "at last");
  installer.close();
}

TEST_F(ExchangeTest, InterfacesAreScannedAgainOnThe60thBroadcast) {
  openClient();
  ASSERT_EQ(installer.interfaceCount(), 1u);
  ASSERT_TRUE(connectNamespaces(*client, "late0", *peerSpace, "peer1"));  // a card appears
  NetMessage message;
  composeDiscovery(message, "", "", "");
  for (int broadcast = 1; broadcast < 60; ++broadcast) {
    installer.broadcastRequest(message, message.payloadLength());
    ASSERT_EQ(installer.interfaceCount(), 1u) << "broadcast " << broadcast;
  }
  {
    EnterNamespace inside(*client);  // the scan reads this namespace's interfaces
    installer.broadcastRequest(message, message.payloadLength());
  }
  EXPECT_EQ(installer.interfaceCount(), 2u);
  EXPECT_EQ(installer.broadcastCount, 0);
  installer.close();
}

TEST_F(ExchangeTest, DriverRequestWaitsForOfdrOnly) {
  openClient();
  utsname system;
  ASSERT_EQ(uname(&system), 0);
  std::string release = system.release;
  peer->run([release](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    EXPECT_EQ(payloadString(request), "DRVR\n" + release + std::string(1, '\0'));
    p.send(p.mac(), request.source(), 1, 0, "OFFR\nnot what was asked\n");
    ASSERT_TRUE(p.next(request)) << "the wrong answer used up the cycle: a new DRVR";
    EXPECT_TRUE(request.payloadBeginsWith("DRVR"));
    p.send(p.mac(), request.source(), 1, 0, "OFDR");
  });
  installer.requestDrivers();
  peer->join();
  EXPECT_EQ(installer.selected, 0);
  EXPECT_EQ(0, memcmp(installer.link.peerAddress, peer->mac(), kMacSize));
  installer.close();
}

// The caller says "could not retrieve disk drivers" when there is no driver
// header: nothing else may be printed before it.
TEST_F(ExchangeTest, DriverOfferWithoutAHeaderFailsWithoutAWord) {
  openClient();
  installer.timing.replyTimeoutUsec = 50000;
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(p.mac(), request.source(), 1, 0, "OFDR");
    int retrieves = 0;
    while (p.next(request, 1.0)) retrieves += request.payloadBeginsWith("RETR") ? 1 : 0;
    EXPECT_EQ(retrieves, 30);
  });
  bool retrieved = true;
  std::string printed = captureStdout([&] { retrieved = installer.retrieveDrivers(); });
  peer->join();
  EXPECT_FALSE(retrieved);
  EXPECT_EQ(printed, "");
  installer.close();
}

// The driver package is installed into the running system, never written
// under its name: whatever the server calls it, it is taken.
TEST_F(ExchangeTest, DriverPackageIsTakenWhateverItsName) {
  openClient();
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    ASSERT_TRUE(p.next(request));
    p.send(p.mac(), request.source(), 1, 0, "OFDR");
    ASSERT_TRUE(p.next(request));
    p.answer(request, 2, "FILE\ndrivers/6.1.0-28-686.bdl\n0\n");
  });
  bool retrieved = false;
  std::string printed = captureStdout([&] { retrieved = installer.retrieveDrivers(); });
  peer->join();
  EXPECT_TRUE(retrieved);
  EXPECT_EQ(printed, "");
  installer.close();
}

TEST_F(ExchangeTest, StartIsSentFiveTimesWithOneNumberThenRefused) {
  openClient();
  findServerPlainly();
  installer.timing.replyTimeoutUsec = 50000;
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    int starts = 0;
    while (p.next(request, 1.0)) {
      EXPECT_EQ(payloadString(request), "STRT");
      EXPECT_EQ(request.sequence(), 2);
      EXPECT_EQ(request.acknowledgement(), 2);
      ++starts;
    }
    EXPECT_EQ(starts, 5);
  });
  EXPECT_FALSE(installer.startInstallation());
  peer->join();
  installer.close();
}

TEST_F(ExchangeTest, ClosingWaitRepeatsWtrmUntilTerm) {
  openClient();
  findServerPlainly();
  peer->run([](ScriptedPeer& p) {
    NetMessage request;
    for (int sent = 1; sent <= 3; ++sent) {
      ASSERT_TRUE(p.next(request));
      EXPECT_EQ(payloadString(request), "WTRM");
      EXPECT_EQ(request.sequence(), 2) << "one stamp for every repetition";
    }
    p.answer(request, 3, "OKAY");  // accepted, but not the end: raises the count
    p.answer(request, 4, "TERM");
  });
  installer.awaitTermination();
  peer->join();
  installer.close();
}

TEST_F(ExchangeTest, ClosingWaitEndsAtAKeystroke) {
  openClient();
  findServerPlainly();
  std::thread operatorKey([this] {
    usleep(500000);
    console.type("\n");
  });
  installer.awaitTermination();  // the stand-in server never answers
  operatorKey.join();
  installer.close();
}

}  // namespace
