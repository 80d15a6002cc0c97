// A server root made from the lab's inventory, as the real server serves it
// in network namespaces of the test's own: each machine gets its own files
// by the address it talks from, its secrets once, and the checks of the
// inventory (disk label, machines not named) hold it with the reason.

#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "packages/package_fixtures.h"

namespace {

constexpr const char* kOffice = "52:54:00:aa:01:01";  // known, with a secret and a disk label
constexpr const char* kStranger = "52:54:00:aa:01:09";  // not in the inventory

class InventoryNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(240);
    server = NetNamespace::create();
    client = NetNamespace::create();
    ASSERT_TRUE(server && client);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
    ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
    FixturePackage base, ppp;
    base.name = "base";
    ppp.name = "ppp";
    std::string root = scratch / "root";
    writeWholeFile(root + "/packages/.keep", "");
    ASSERT_EQ(makeMedium(root + "/packages", {base, ppp}), "");
    std::string office = root + "/machines/52-54-00-aa-01-01";
    writeWholeFile(office + "/machine.conf",
                   "name: office-1\ngroup: office\nkeep: yes\ndisk-label: office-1\n"
                   "packages: base.bdl\n");
    writeWholeFile(office + "/scripts/autorun.scr", "echo office-1 > /etc/hostname\n");
    writeWholeFile(office + "/secret-scripts/pppoe.scr", "password=office-1-secret\n");
    writeWholeFile(root + "/unknown/machine.conf", "policy: hold\ngroup: guests\n");
    writeWholeFile(root + "/unknown/scripts/autorun.scr", "echo guest > /etc/hostname\n");
  }
  void TearDown() override { alarm(0); }

  void useCard(const char* mac) {
    ASSERT_EQ(client->run({"ip", "link", "set", "card0", "down"}), 0);
    ASSERT_EQ(client->run({"ip", "link", "set", "card0", "address", mac}), 0);
  }

  std::string install(const std::string& into, const char* label) {
    EnterNamespace inside(*client);
    InstallClient installer;
    ClientTiming timing;
    timing.discoveryCycleUsec = 200000;
    installer.timing = timing;
    return fetchEverything(installer, timing, into, /*drivers=*/false, label);
  }

  // Whether a discovery from `mac` with `label` is offered an installation.
  bool offered(const char* mac, const char* label) {
    EnterNamespace inside(*client);
    EXPECT_EQ(system("ip link set card0 up"), 0);
    int peer = openPeerSocket("card0");
    EXPECT_GE(peer, 0);
    NetMessage discovery, answer;
    composeDiscovery(discovery, "", "", label);
    uint8_t card[kMacSize];
    EXPECT_TRUE(parseMac(mac, card));
    discovery.setSource(card);
    bool offer = false;
    for (int attempt = 0; attempt < 3 && !offer; ++attempt) {
      EXPECT_TRUE(sendBroadcast(peer, discovery));
      while (receiveDatagram(peer, answer, 0.4) >= 0) {
        offer = offer || answer.payloadBeginsWith(messageTag(MessageType::offer));
      }
    }
    close(peer);
    return offer;
  }

  // Requests claiming `claimed` in their headers, sent from the card as it
  // is (so from its own hardware address): a discovery with `label`, then
  // taking the offer, the start and the first file as if every reply had
  // come. Whether the server answered any of them: replies go to the
  // claimed address, and the capture sees the frames for any address.
  bool answeredClaiming(const char* claimed, const char* label) {
    uint8_t serverMac[kMacSize], mac[kMacSize];
    EXPECT_TRUE(parseMac(server->macAddress("srv0"), serverMac));
    EXPECT_TRUE(parseMac(claimed, mac));
    EnterNamespace inside(*client);
    EXPECT_EQ(system("ip link set card0 up"), 0);
    int peer = openPeerSocket("card0");
    int capture = openCapture("card0");
    EXPECT_GE(peer, 0);
    EXPECT_GE(capture, 0);
    std::vector<NetMessage> requests(4);
    composeDiscovery(requests[0], "", "", label);
    const char* texts[] = {"YACK\n", "STRT", "RETR"};
    for (size_t i = 1; i < requests.size(); ++i) {
      requests[i].clear();
      EXPECT_TRUE(requests[i].setPayloadText(texts[i - 1], false));
      requests[i].setTarget(serverMac);
      requests[i].setSequence(static_cast<uint16_t>(i));
      requests[i].setAcknowledgement(static_cast<uint16_t>(i));
    }
    bool answered = false;
    NetMessage answer;
    for (int attempt = 0; attempt < 3; ++attempt) {
      for (NetMessage& request : requests) {
        request.setSource(mac);
        EXPECT_TRUE(sendBroadcast(peer, request));
        while (receiveCaptured(capture, answer, 0.2) >= 0) {
          // The capture sees our own requests too.
          answered = answered || memcmp(answer.source(), serverMac, kMacSize) == 0;
        }
      }
    }
    close(capture);
    close(peer);
    return answered;
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> client;
  ScratchDirectory scratch;
};

// Files and secrets go by the address a request comes from, not by the one
// its header claims: a station claiming office-1's address gets nothing at
// all, while office-1 itself installs with its secret. Without the packet
// socket that tells the two apart, such a root is not served.
TEST_F(InventoryNetTest, AStationClaimingAnotherMachinesAddressGetsNothingOfIt) {
  pid_t refused = server->start(
      [this]() -> int {
        if (!refusePacketSockets()) return 125;
        std::string root = scratch / "root", state = scratch / "state";
        execl(serverBinary().c_str(), "netinstall-server", "--interface", "srv0", "--root",
              root.c_str(), "--state", state.c_str(), static_cast<char*>(nullptr));
        return 126;
      },
      scratch / "refused.log");
  EXPECT_EQ(exitCodeOf(waitBounded(refused, 10)), 1);
  EXPECT_EQ(readWholeFile(scratch / "refused.log"),
            "netinstall-server: " + scratch / "root" +
                " was made from a lab inventory: its machines' files go by the hardware address "
                "each request comes from, which needs a packet socket on srv0 (cannot open a "
                "packet socket: Operation not permitted)\n");

  ServerRun run(*server, "srv0", scratch / "root", {"--state", scratch / "state"},
                scratch / "server.log");
  ASSERT_TRUE(run.waitForLog(" serving ", 10));
  useCard(kStranger);
  EXPECT_FALSE(answeredClaiming(kOffice, "office-1"));
  ASSERT_TRUE(run.waitForLog("(the last from 52:54:00:AA:01:09, claiming 52:54:00:AA:01:01)", 15))
      << run.log();
  EXPECT_EQ(run.log().find("(office-1, group office)"), std::string::npos) << "not found, not offered";

  useCard(kOffice);
  ASSERT_EQ(install(scratch / "office", "office-1"), "");
  EXPECT_EQ(readWholeFile(scratch / "office/pppoe.scr"), "password=office-1-secret\n");
  ASSERT_EQ(exitCodeOf(run.stop()), 0);
  std::string log = run.log();
  size_t summary = log.find("summary: ");
  ASSERT_NE(summary, std::string::npos) << log;
  EXPECT_NE(log.find("  forged 12", summary), std::string::npos) << log.substr(summary);
}

TEST_F(InventoryNetTest, EachMachineItsOwnFilesSecretsOnceAndTheInventorysChecks) {
  std::string printed;
  pid_t refused = server->spawn({serverBinary(), "--interface", "srv0", "--root", scratch / "root"},
                                scratch / "refused.log");
  EXPECT_EQ(exitCodeOf(waitBounded(refused, 10)), 1);
  EXPECT_NE(readWholeFile(scratch / "refused.log").find("needs --state DIR"), std::string::npos);

  ServerRun run(*server, "srv0", scratch / "root", {"--state", scratch / "state"},
                scratch / "server.log");
  ASSERT_TRUE(run.waitForLog(" serving ", 10));

  // Its disk label is not the inventory's: held, with the reason.
  useCard(kOffice);
  EXPECT_FALSE(offered(kOffice, "some-disk"));
  ASSERT_TRUE(run.waitForLog("the inventory says \"office-1\" for office-1", 5));

  // Its own: its scripts, its secret, its package set, its keep.
  ASSERT_EQ(install(scratch / "office", "office-1"), "");
  EXPECT_EQ(readWholeFile(scratch / "office/autorun.scr"), "echo office-1 > /etc/hostname\n");
  EXPECT_EQ(readWholeFile(scratch / "office/pppoe.scr"), "password=office-1-secret\n");
  EXPECT_EQ(access((scratch / "office/base.bdl").c_str(), F_OK), 0);
  EXPECT_EQ(access((scratch / "office/ppp.bdl").c_str(), F_OK), -1);
  EXPECT_NE(run.log().find("(office-1, group office)"), std::string::npos);
  EXPECT_NE(run.log().find("keeping the old configuration"), std::string::npos);

  // Another installer claiming its address once it is done: nothing, held.
  EXPECT_FALSE(offered(kOffice, "office-1"));
  ASSERT_TRUE(run.waitForLog("held: installed already (done)", 5));

  // A machine the inventory does not name waits until the operator arms it,
  // and then gets the unknown machines' files, none of office-1's.
  useCard(kStranger);
  EXPECT_FALSE(offered(kStranger, "korvanel"));
  ASSERT_TRUE(run.waitForLog("held: not in the lab's inventory: arm it", 5));
  writeWholeFile(scratch / "state/armed/52-54-00-aa-01-09", "");
  ASSERT_EQ(install(scratch / "stranger", "korvanel"), "");
  EXPECT_EQ(readWholeFile(scratch / "stranger/autorun.scr"), "echo guest > /etc/hostname\n");
  EXPECT_EQ(access((scratch / "stranger/pppoe.scr").c_str(), F_OK), -1);
  ASSERT_EQ(exitCodeOf(run.stop()), 0);
  // The secret is in no log line.
  EXPECT_EQ(run.log().find("office-1-secret"), std::string::npos);
  // The summary names it by the inventory, with the alarm.
  std::string log = run.log();
  size_t row = log.find("  52:54:00:AA:01:01  office-1 (office)");
  ASSERT_NE(row, std::string::npos) << log;
  std::string line = log.substr(row, log.find('\n', row) - row);
  EXPECT_NE(line.find("held (installed already (done): an installer claims its address"),
            std::string::npos)
      << line;
}

}  // namespace
