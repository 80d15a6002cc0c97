// Interfaces and endpoints on real interfaces: veth pairs between network
// namespaces that each test makes for itself.

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net_namespace.h"
#include "netinstall/install_client.h"
#include "netinstall/interface_scan.h"
#include "netinstall/mac_address.h"
#include "netinstall/net_test_support.h"

namespace {

class EndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    client = NetNamespace::create();
    peer = NetNamespace::create();
    ASSERT_TRUE(client && peer);
  }

  std::string linkLine(const std::string& name) {
    std::string output;
    client->run({"ip", "-o", "link", "show", "dev", name}, &output);
    return output;
  }
  std::string addressLine(const std::string& name) {
    std::string output;
    client->run({"ip", "-o", "-4", "addr", "show", "dev", name}, &output);
    return output;
  }

  std::unique_ptr<NetNamespace> client;
  std::unique_ptr<NetNamespace> peer;
};

int openDescriptorCount() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
  return count;
}

TEST_F(EndpointTest, OnlyLoopbackGivesNoInterface) {
  EnterNamespace inside(*client);
  ASSERT_TRUE(inside.entered());
  InstallClient installer;
  installer.open();
  EXPECT_FALSE(installer.hasInterfaces());
  EXPECT_EQ(installer.macAddressText(0), nullptr);
  installer.close();
}

// Each card gets an endpoint in list order and is brought up; one without an
// IPv4 address stays without one (0.0.0.0), one with an address keeps it.
TEST_F(EndpointTest, ScanOpensEveryCardAndBringsItUp) {
  ASSERT_TRUE(connectNamespaces(*client, "card0", *peer, "peer0"));
  ASSERT_TRUE(connectNamespaces(*client, "card1", *peer, "peer1"));
  ASSERT_EQ(client->run({"ip", "addr", "add", "10.77.0.2/24", "dev", "card1"}), 0);
  std::string mac0 = client->macAddress("card0");
  std::string mac1 = client->macAddress("card1");
  ASSERT_EQ(mac0.size(), 17u);

  EnterNamespace inside(*client);
  InstallClient installer;
  installer.open();
  ASSERT_EQ(installer.interfaceCount(), 2u);
  EXPECT_EQ(macText(installer.endpoints[0]->mac), mac0);
  EXPECT_EQ(macText(installer.endpoints[1]->mac), mac1);
  const char* text0 = installer.macAddressText(0);
  std::string upper0;
  for (char c : mac0) upper0 += static_cast<char>(toupper(c));
  EXPECT_STREQ(text0, upper0.c_str());
  installer.macAddressText(1);
  EXPECT_STRNE(text0, upper0.c_str()) << "the text of index 0 is overwritten by index 1";
  EXPECT_EQ(installer.macAddressText(2), nullptr);

  for (const char* name : {"card0", "card1"}) {
    std::string line = linkLine(name);
    EXPECT_NE(line.find("PROMISC"), std::string::npos) << line;
    EXPECT_NE(line.find(",UP"), std::string::npos) << line;
  }
  EXPECT_EQ(addressLine("card0"), "") << "0.0.0.0 is no address";
  EXPECT_NE(addressLine("card1").find("10.77.0.2/24"), std::string::npos);
  installer.close();
}

// A macvlan whose address is its lower device's cannot be brought up
// ("Address already in use"): it is left out, the other card is used.
TEST_F(EndpointTest, CardThatCannotComeUpIsLeftOut) {
  ASSERT_TRUE(connectNamespaces(*peer, "lower0", *peer, "lower1"));
  std::string lowerMac = peer->macAddress("lower0");
  ASSERT_EQ(peer->run({"ip", "link", "add", "link", "lower0", "name", "stuck0", "address",
                       lowerMac, "type", "macvlan"}),
            0);
  ASSERT_EQ(peer->run({"ip", "link", "set", "stuck0", "netns", std::to_string(client->holder())}),
            0);
  ASSERT_TRUE(connectNamespaces(*client, "card0", *peer, "peer0"));
  std::string cardMac = client->macAddress("card0");

  EnterNamespace inside(*client);
  InstallClient installer;
  installer.open();
  ASSERT_EQ(installer.interfaceCount(), 1u);
  EXPECT_EQ(macText(installer.endpoints[0]->mac), cardMac);
  installer.close();
}

// A listed interface whose hardware address cannot be read empties the whole
// list, and what was opened before is closed again.
TEST_F(EndpointTest, FailedHardwareQueryEmptiesTheList) {
  ASSERT_TRUE(connectNamespaces(*client, "card0", *peer, "peer0"));
  EnterNamespace inside(*client);
  int before = openDescriptorCount();
  std::string text = "heading\nheading\n  card0: 0 0\n  gone0: 0 0\n";
  FILE* stream = fmemopen(text.data(), text.size(), "r");
  EndpointList endpoints = scanInterfacesFrom(stream);
  fclose(stream);
  EXPECT_TRUE(endpoints.empty());
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(EndpointTest, DatagramsFromAnotherPortAreDropped) {
  ASSERT_TRUE(connectNamespaces(*client, "card0", *peer, "peer0", /*up=*/true));
  int fromOtherPort, fromProtocolPort;
  {
    EnterNamespace inPeer(*peer);
    fromOtherPort = openPeerSocket("peer0", 5001);
    fromProtocolPort = openPeerSocket("peer0", kProtocolPort);
  }
  ASSERT_GE(fromOtherPort, 0);
  ASSERT_GE(fromProtocolPort, 0);
  EnterNamespace inside(*client);
  NetEndpoint endpoint;
  ASSERT_TRUE(endpoint.open("card0", kProtocolPort));
  NetMessage message;
  message.clear();
  ASSERT_TRUE(message.setPayloadText("TERM", false));
  ASSERT_TRUE(sendBroadcast(fromOtherPort, message));
  EXPECT_EQ(endpoint.receiveWithin(message, 2000000), -1);
  EXPECT_EQ(ntohs(endpoint.lastSender.sin_port), 5001) << "the sender is still recorded";
  ASSERT_TRUE(sendBroadcast(fromProtocolPort, message));
  EXPECT_EQ(endpoint.receiveWithin(message, 2000000), 24);
  close(fromOtherPort);
  close(fromProtocolPort);
}

// Console input ends the wait at once and is left for the console's reader;
// successive waits share one budget.
TEST_F(EndpointTest, ConsoleInputEndsTheWaitUnread) {
  ASSERT_TRUE(connectNamespaces(*client, "card0", *peer, "peer0"));
  EnterNamespace inside(*client);
  NetEndpoint endpoint;
  ASSERT_TRUE(endpoint.open("card0", kProtocolPort));
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  int savedInput = dup(0);
  dup2(console[0], 0);
  NetMessage message;

  timeval budget{0, 300000};
  EXPECT_EQ(endpoint.receiveOrConsole(message, budget), kReceiveTimedOut);
  EXPECT_EQ(budget.tv_sec, 0);
  EXPECT_EQ(budget.tv_usec, 0) << "the wait used up the budget it was given";

  ASSERT_EQ(write(console[1], "k", 1), 1);
  timeval fresh{5, 0};
  EXPECT_EQ(endpoint.receiveOrConsole(message, fresh), kConsoleInput);
  EXPECT_GT(fresh.tv_sec, 3) << "at once";
  char key = 0;
  EXPECT_EQ(read(0, &key, 1), 1);
  EXPECT_EQ(key, 'k');

  dup2(savedInput, 0);
  close(savedInput);
  close(console[0]);
  close(console[1]);
}

}  // namespace
