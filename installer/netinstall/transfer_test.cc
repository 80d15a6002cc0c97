// Whole transfers between the installer's client and the real
// netinstall-server, each in namespaces of its own: file sizes around the
// block size, several installers at once, what a bystander on their segment
// sees, a lossy and a duplicating, reordering network, a server that dies, a
// second server, and a transfer long enough to wrap the sequence numbers.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "netinstall/packet_relay.h"
#include "packages/package_fixtures.h"

namespace {

// A server root: real packages (made with the bdl tool), scripts of any
// contents (name -> bytes) and the driver package for this kernel.
struct Tree {
  std::vector<std::string> packages;
  std::map<std::string, std::string> scripts;
  std::string drivers;
  std::string root;

  void writeTo(const std::string& directory) {
    root = directory;
    std::vector<FixturePackage> fixtures;
    for (const std::string& name : packages) {
      FixturePackage fixture;
      fixture.name = name;
      fixtures.push_back(fixture);
    }
    writeWholeFile(root + "/packages/.keep", "");
    EXPECT_EQ(makeMedium(root + "/packages", fixtures), "");
    for (const auto& [name, contents] : scripts) writeWholeFile(root + "/scripts/" + name, contents);
    writeWholeFile(root + "/drivers/" + kernelRelease() + ".bdl", drivers);
  }
  // Every file of the tree arrived in `directory`, byte for byte.
  void expectArrivedIn(const std::string& directory, bool withDrivers = true) const {
    std::map<std::string, std::string> files = scripts;
    for (const std::string& name : packages) {
      files[name + ".bdl"] = readWholeFile(root + "/packages/" + name + ".bdl");
    }
    for (const auto& [name, contents] : files) {
      std::string arrived = readWholeFile(directory + "/" + name);
      EXPECT_EQ(arrived.size(), contents.size()) << name;
      EXPECT_TRUE(arrived == contents) << name << " differs";
    }
    if (withDrivers) {
      EXPECT_TRUE(readWholeFile(directory + "/drivers.bdl") == drivers);
    }
  }
};

// Files that end just before, at and after a block's end, and one of
// several MiB, as scripts (which may hold any bytes); two real packages.
Tree boundaryTree() {
  Tree tree;
  tree.packages = {"base", "tools"};
  for (size_t size : {0, 1, 4075, 4076, 4077, 8152}) {
    tree.scripts["size" + std::to_string(size) + ".scr"] =
        patternData(size, static_cast<unsigned>(size));
  }
  tree.scripts["several-mib.scr"] = patternData(5 * 1024 * 1024 + 17, 99);
  tree.drivers = patternData(70000, 5);
  return tree;
}

ClientTiming quickTiming() {
  ClientTiming timing;
  timing.replyTimeoutUsec = 30000;
  timing.discoveryCycleUsec = 200000;
  timing.closingUsec = 100000;
  return timing;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(300);
    server = NetNamespace::create();
    ASSERT_TRUE(server);
  }
  void TearDown() override { alarm(0); }

  // A bridge in a namespace of its own that joins every station.
  void makeHub() {
    hub = NetHub::create();
    ASSERT_TRUE(hub);
  }
  void attachToHub(NetNamespace& station, const std::string& name, bool up) {
    ASSERT_TRUE(hub->attach(station, name, up));
  }

  std::unique_ptr<ServerRun> startServer(NetNamespace& space, const std::string& root,
                                         std::vector<std::string> extra = {},
                                         const std::string& interfaceName = "srv0") {
    auto run = std::make_unique<ServerRun>(space, interfaceName, root, extra,
                                           scratch / ("server" + std::to_string(servers++) + ".log"));
    EXPECT_TRUE(run->waitForLog(" serving ", 10)) << run->log();
    return run;
  }

  // Runs fetchEverything in a child in `space`: its exit code is 0 when
  // every file arrived; what failed is in directory/result. Without
  // `packetSockets` the child cannot send frames of its own.
  pid_t startInstaller(NetNamespace& space, const std::string& directory,
                       ClientTiming timing = quickTiming(), bool packetSockets = true) {
    return space.start([directory, timing, packetSockets] {
      if (!packetSockets && !refusePacketSockets()) return 2;
      TestConsole console;
      InstallClient client;
      std::string result = fetchEverything(client, timing, directory, /*drivers=*/true);
      writeWholeFile(directory + "/result", result);
      return result.empty() ? 0 : 1;
    });
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetHub> hub;
  ScratchDirectory scratch;
  int servers = 0;
};

TEST_F(TransferTest, FilesAroundTheBlockSizeAndOfSeveralMibArriveWhole) {
  auto client = NetNamespace::create();
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  Tree tree = boundaryTree();
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");
  std::string clientMac = client->macAddress("card0");

  {
    EnterNamespace inside(*client);
    TestConsole console;
    InstallClient installer;
    EXPECT_EQ(fetchEverything(installer, quickTiming(), scratch.path(), true), "");
  }
  tree.expectArrivedIn(scratch.path());
  ASSERT_EQ(exitCodeOf(run->stop(SIGTERM)), 0);
  std::string log = run->log();
  std::string mac;
  for (char c : clientMac) mac += static_cast<char>(toupper(c));
  for (const std::string& event :
       {"asks for the drivers of kernel " + kernelRelease(), std::string("found, disk label \"test-lab\""),
        std::string("offered installation"), std::string("took the offer"),
        std::string("started: 2 packages, 7 scripts"), std::string("sending several-mib.scr (5242897 bytes)"),
        std::string("sent several-mib.scr (5242897 bytes)"), std::string("all files sent"),
        std::string("done")}) {
    EXPECT_NE(log.find(mac + " " + event), std::string::npos) << event << "\n" << log;
  }
  EXPECT_NE(log.find("stopped by SIGTERM"), std::string::npos);
}

TEST_F(TransferTest, FourInstallersAtOnce) {
  makeHub();
  attachToHub(*server, "srv0", /*up=*/true);
  Tree tree;
  tree.packages = {"base", "tools"};
  tree.scripts["big.scr"] = patternData(600000, 1);
  tree.scripts["net.scr"] = "ip link\n";
  tree.drivers = patternData(9000, 3);
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");

  std::vector<std::unique_ptr<NetNamespace>> clients;
  std::vector<pid_t> installers;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(NetNamespace::create());
    ASSERT_TRUE(clients.back());
    attachToHub(*clients.back(), "card0", /*up=*/false);
  }
  for (int i = 0; i < 4; ++i) {
    installers.push_back(startInstaller(*clients[i], scratch / ("client" + std::to_string(i))));
  }
  for (int i = 0; i < 4; ++i) {
    std::string directory = scratch / ("client" + std::to_string(i));
    EXPECT_EQ(exitCodeOf(waitBounded(installers[i], 120)), 0) << readWholeFile(directory + "/result");
    tree.expectArrivedIn(directory);
  }
  std::string log = run->log();
  size_t done = 0;
  for (size_t at = 0; (at = log.find(" done\n", at)) != std::string::npos; ++at) ++done;
  EXPECT_EQ(done, 4u) << log;
}

// Two installers and a bystander on one segment. Once an installer knows its
// server, its requests travel to the server alone, as the server's replies
// travel to it: the bystander's card sees only discovery. The second
// installer may not open packet sockets and broadcasts its requests as
// before; the bystander's card sees them, but its installer's socket is
// never woken for them. Both installations arrive whole.
TEST_F(TransferTest, RequestsGoToTheServerAloneAndOthersTrafficWakesNobody) {
  makeHub();
  attachToHub(*server, "srv0", /*up=*/true);
  Tree tree;
  tree.packages = {"base", "tools"};
  tree.scripts["big.scr"] = patternData(300000, 2);
  tree.drivers = patternData(9000, 4);
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");

  auto bystander = NetNamespace::create();
  attachToHub(*bystander, "eye0", /*up=*/true);
  int capture;
  InstallClient eye;  // opened as an installer opens its cards: filtered
  {
    EnterNamespace inside(*bystander);
    capture = openCapture("eye0");
    eye.open();
  }
  ASSERT_GE(capture, 0);
  ASSERT_EQ(eye.interfaceCount(), 1u);

  std::unique_ptr<NetNamespace> clients[2];
  pid_t installers[2];
  uint8_t macs[2][kMacSize];
  ClientTiming patient = quickTiming();
  patient.replyTimeoutUsec = 3000000;  // nothing is lost here: a slow reply must not look lost
  for (int i = 0; i < 2; ++i) {
    clients[i] = NetNamespace::create();
    ASSERT_TRUE(clients[i]);
    attachToHub(*clients[i], "card0", /*up=*/false);
    ASSERT_TRUE(parseMac(clients[i]->macAddress("card0"), macs[i]));
  }
  for (int i = 0; i < 2; ++i) {
    installers[i] = startInstaller(*clients[i], scratch / ("client" + std::to_string(i)), patient,
                                   /*packetSockets=*/i == 0);
  }
  for (int i = 0; i < 2; ++i) {
    std::string directory = scratch / ("client" + std::to_string(i));
    EXPECT_EQ(exitCodeOf(waitBounded(installers[i], 120)), 0) << readWholeFile(directory + "/result");
    tree.expectArrivedIn(directory);
  }

  uint8_t serverMac[kMacSize];
  ASSERT_TRUE(parseMac(server->macAddress("srv0"), serverMac));
  int discoveries = 0, directRequests = 0, broadcastRequests = 0, replies = 0;
  NetMessage heard;
  for (long length; (length = receiveCaptured(capture, heard, 0.2)) >= 0;) {
    if (memcmp(heard.source(), serverMac, kMacSize) == 0) {
      ++replies;
    } else if (isZeroMac(heard.target())) {
      ++discoveries;
    } else {
      (memcmp(heard.source(), macs[0], kMacSize) == 0 ? directRequests : broadcastRequests) += 1;
    }
  }
  close(capture);
  EXPECT_GE(discoveries, 4) << "each installer's DRVR and DSCV";
  EXPECT_EQ(replies, 0);
  EXPECT_EQ(directRequests, 0);
  EXPECT_GT(broadcastRequests, 70) << "the second installer's requests, broadcast";

  int discoveriesTaken = 0, othersTaken = 0;
  while (eye.endpoints[0]->receiveWithin(heard, 100000) >= 0) {
    (isZeroMac(heard.target()) ? discoveriesTaken : othersTaken) += 1;
  }
  EXPECT_GE(discoveriesTaken, 4);
  EXPECT_EQ(othersTaken, 0) << "the bystander's socket was woken for others' traffic";
  eye.close();
}

// Every tenth datagram is dropped in each direction: retransmissions still
// deliver every byte. (The loss sits in the receivers' input hooks: a drop
// in a sender's output hook fails its send instead, the next test.)
TEST_F(TransferTest, LossyNetworkStillDeliversEveryByte) {
  auto client = NetNamespace::create();
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  for (NetNamespace* receiver : {server.get(), client.get()}) {
    ASSERT_EQ(receiver->run({"nft", "add", "table", "inet", "lossy"}), 0);
    ASSERT_EQ(receiver->run({"nft", "add", "chain", "inet", "lossy", "in",
                             "{ type filter hook input priority 0; }"}),
              0);
    ASSERT_EQ(receiver->run({"nft", "add", "rule", "inet", "lossy", "in", "udp", "dport", "5000",
                             "numgen", "random", "mod", "100", "<", "10", "counter", "drop"}),
              0);
  }
  Tree tree;
  tree.packages = {"base"};
  tree.scripts["big.scr"] = patternData(400000, 7);
  tree.scripts["small.scr"] = patternData(4077, 8);
  tree.scripts["empty.scr"] = "";
  tree.scripts["autorun.scr"] = "echo lossy\n";
  tree.drivers = patternData(5000, 9);
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");
  pid_t installer = startInstaller(*client, scratch / "out");
  EXPECT_EQ(exitCodeOf(waitBounded(installer, 200)), 0) << readWholeFile(scratch / "out/result");
  tree.expectArrivedIn(scratch / "out");
  for (NetNamespace* receiver : {server.get(), client.get()}) {
    std::string rules;
    receiver->run({"nft", "list", "ruleset"}, &rules);
    EXPECT_EQ(rules.find("counter packets 0 "), std::string::npos) << "nothing was lost:\n" << rules;
  }
  EXPECT_EQ(run->log().find("cannot"), std::string::npos) << run->log();
}

// A packet filter on the installer's own side drops every tenth request as
// it is sent: the send fails (EPERM), nothing was lost in transit, and the
// request goes again after its time-out like a datagram lost on the way.
// (Only datagrams sent through the IP stack meet the filter: this installer
// may not send frames of its own.)
TEST_F(TransferTest, SendsRefusedByTheInstallersPacketFilterAreSentAgain) {
  auto client = NetNamespace::create();
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  ASSERT_EQ(client->run({"nft", "add", "table", "inet", "filter"}), 0);
  ASSERT_EQ(client->run({"nft", "add", "chain", "inet", "filter", "out",
                         "{ type filter hook output priority 0; }"}),
            0);
  ASSERT_EQ(client->run({"nft", "add", "rule", "inet", "filter", "out", "udp", "dport", "5000",
                         "numgen", "random", "mod", "100", "<", "10", "counter", "drop"}),
            0);
  Tree tree;
  tree.packages = {"base"};
  tree.scripts["big.scr"] = patternData(300000, 17);
  tree.scripts["autorun.scr"] = "echo filtered\n";
  tree.drivers = patternData(5000, 18);
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");
  pid_t installer = startInstaller(*client, scratch / "out", quickTiming(), /*packetSockets=*/false);
  EXPECT_EQ(exitCodeOf(waitBounded(installer, 200)), 0) << readWholeFile(scratch / "out/result");
  tree.expectArrivedIn(scratch / "out");
  std::string rules;
  client->run({"nft", "list", "ruleset"}, &rules);
  EXPECT_EQ(rules.find("counter packets 0 "), std::string::npos) << "nothing was dropped:\n" << rules;
}

// A relay between installer and server duplicates a fifth of the datagrams
// (the copy comes late) and holds another fifth back so that later ones
// overtake it: the numbered requests and replies sort it all out.
TEST_F(TransferTest, DuplicatedAndReorderedDatagramsChangeNothing) {
  auto client = NetNamespace::create();
  auto relay = NetNamespace::create();
  ASSERT_TRUE(relay && client);
  ASSERT_TRUE(connectNamespaces(*client, "card0", *relay, "relay0"));
  ASSERT_TRUE(connectNamespaces(*relay, "relay1", *server, "srv0"));
  // One frame per datagram: the relay then copies and reorders whole ones.
  ASSERT_EQ(client->run({"ip", "link", "set", "card0", "mtu", "9000"}), 0);
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "mtu", "9000", "up"}), 0);
  for (const char* name : {"relay0", "relay1"}) {
    ASSERT_EQ(relay->run({"ip", "link", "set", name, "mtu", "9000", "up"}), 0);
  }
  RelayPolicy policy;
  policy.duplicatePercent = 20;
  policy.delayPercent = 20;
  policy.maxDelayMs = 60;  // beyond the installer's 30 ms: retransmissions overtake
  std::string statsPath = scratch / "relay-stats";
  policy.statsPath = statsPath.c_str();
  pid_t relayPid = relay->start([policy] { return runRelay("relay0", "relay1", policy); });

  Tree tree;
  tree.packages = {"base"};
  tree.scripts["big.scr"] = patternData(300000, 11);
  tree.scripts["edge.scr"] = patternData(4076, 12);
  tree.scripts["autorun.scr"] = "echo shuffled\n";
  tree.drivers = patternData(12000, 13);
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root");
  pid_t installer = startInstaller(*client, scratch / "out");
  EXPECT_EQ(exitCodeOf(waitBounded(installer, 200)), 0) << readWholeFile(scratch / "out/result");
  tree.expectArrivedIn(scratch / "out");
  std::string log = run->log();
  EXPECT_EQ(log.find("sent big.scr"), log.rfind("sent big.scr")) << "each file once:\n" << log;
  long forwarded = 0, duplicated = 0, delayed = 0;
  ASSERT_EQ(sscanf(readWholeFile(statsPath).c_str(), "forwarded %ld duplicated %ld delayed %ld",
                   &forwarded, &duplicated, &delayed),
            3);
  EXPECT_GT(forwarded, 200);
  EXPECT_GT(duplicated, 20);
  EXPECT_GT(delayed, 20);
  kill(relayPid, SIGKILL);
  waitBounded(relayPid, 5);
}

// The server is killed while a file is on its way: the installer says
// "bad network connection" and does not pretend the file arrived.
TEST_F(TransferTest, ServerThatDiesInTheMiddleOfAFileIsABadConnection) {
  auto client = NetNamespace::create();
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  Tree tree;
  tree.packages = {"base"};
  tree.scripts["huge.scr"] = patternData(2 * 1024 * 1024, 21);
  tree.writeTo(scratch / "root");
  // Small blocks keep the file on its way long enough to be cut.
  auto run = startServer(*server, scratch / "root", {"--block-size", "64"});
  std::thread killer([&run] {
    if (run->waitForLog("sending huge.scr", 60)) {
      usleep(200000);
      run->stop(SIGKILL);
    }
  });
  std::string result;
  {
    EnterNamespace inside(*client);
    TestConsole console;
    InstallClient installer;
    result = fetchEverything(installer, quickTiming(), scratch / "out", false);
  }
  killer.join();
  EXPECT_EQ(result, "cut huge.scr: \nFATAL ERROR: bad network connection\n");
  size_t arrived = readWholeFile(scratch / "out/huge.scr").size();
  EXPECT_GT(arrived, 0u);
  EXPECT_LT(arrived, 2u * 1024 * 1024);
}

// Two servers answer the discovery; the installer takes one, and from then
// on every file comes from that one alone.
TEST_F(TransferTest, SecondServerOnTheSegmentIsIgnoredOnceOneIsChosen) {
  makeHub();
  auto second = NetNamespace::create();
  auto client = NetNamespace::create();
  attachToHub(*server, "srv0", true);
  attachToHub(*second, "srv0", true);
  attachToHub(*client, "card0", false);
  Tree first, other;
  first.packages = {"first"};
  first.scripts["first.scr"] = patternData(50000, 31);
  first.drivers = "first drivers";
  other.packages = {"other"};
  other.scripts["other.scr"] = patternData(50000, 32);
  other.drivers = "other drivers";
  first.writeTo(scratch / "first");
  other.writeTo(scratch / "other");
  auto runFirst = startServer(*server, scratch / "first");
  auto runOther = startServer(*second, scratch / "other");

  pid_t installer = startInstaller(*client, scratch / "out");
  EXPECT_EQ(exitCodeOf(waitBounded(installer, 120)), 0) << readWholeFile(scratch / "out/result");
  bool fromFirst = readWholeFile(scratch / "out/first.scr").size() == 50000;
  bool fromOther = readWholeFile(scratch / "out/other.scr").size() == 50000;
  EXPECT_NE(fromFirst, fromOther) << "files from exactly one server";
  (fromFirst ? first : other).expectArrivedIn(scratch / "out", /*withDrivers=*/false);
  std::string chosenLog = fromFirst ? runFirst->log() : runOther->log();
  std::string otherLog = fromFirst ? runOther->log() : runFirst->log();
  EXPECT_NE(chosenLog.find("took the offer"), std::string::npos);
  EXPECT_EQ(otherLog.find("took the offer"), std::string::npos) << otherLog;
}

// 70,000 one-byte blocks: both sides count past 65535 and go on.
TEST_F(TransferTest, SequenceNumbersWrapOnALongLink) {
  auto client = NetNamespace::create();
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  Tree tree;
  tree.packages = {"base"};
  tree.scripts["long.scr"] = patternData(70000, 41);
  tree.drivers = "d";
  tree.writeTo(scratch / "root");
  auto run = startServer(*server, scratch / "root", {"--block-size", "1"});
  EnterNamespace inside(*client);
  TestConsole console;
  InstallClient installer;
  ClientTiming timing = quickTiming();
  timing.replyTimeoutUsec = 200000;  // the server may be slow under the sanitizers
  EXPECT_EQ(fetchEverything(installer, timing, scratch.path(), false), "");
  tree.expectArrivedIn(scratch.path(), false);
}

}  // namespace
