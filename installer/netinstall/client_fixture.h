#pragma once
// The installer's client in a namespace of its own, joined by a veth pair to
// a scripted stand-in server in another (card0 <-> peer0).

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net_namespace.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "netinstall/scripted_peer.h"

class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(120);  // a client loop that never ends must not hang the suite
    client = NetNamespace::create();
    peerSpace = NetNamespace::create();
    ASSERT_TRUE(client && peerSpace);
    ASSERT_TRUE(connectNamespaces(*client, "card0", *peerSpace, "peer0", /*up=*/true));
    peer = makePeer("peer0");
    ASSERT_TRUE(peer);
    ASSERT_TRUE(parseMac(client->macAddress("card0"), cardMac));
  }
  void TearDown() override { alarm(0); }

  std::unique_ptr<ScriptedPeer> makePeer(const std::string& interfaceName) {
    uint8_t mac[kMacSize];
    if (!parseMac(peerSpace->macAddress(interfaceName), mac)) return nullptr;
    EnterNamespace inside(*peerSpace);
    int socket = openPeerSocket(interfaceName.c_str());
    if (socket < 0) return nullptr;
    return std::make_unique<ScriptedPeer>(socket, mac);
  }

  // Opens the installer's client in its namespace, with short waits.
  void openClient() {
    EnterNamespace inside(*client);
    installer.open();
    installer.timing.replyTimeoutUsec = 200000;
    installer.timing.discoveryCycleUsec = 300000;
    installer.timing.closingUsec = 200000;
  }

  // Runs findServer with a script that answers the discovery with a plain
  // offer and confirms the "YACK".
  void findServerPlainly() {
    peer->run([](ScriptedPeer& p) {
      NetMessage request;
      ASSERT_TRUE(p.next(request));
      p.send(p.mac(), request.source(), 1, 0, "OFFR\nhello\n");
      ASSERT_TRUE(p.next(request));
      p.answer(request, 2, "OKAY");
    });
    char offer[512] = "";
    bool keep = true;
    ASSERT_TRUE(installer.findServer("", offer, "label", offer, sizeof offer, keep));
    peer->join();
  }

  std::unique_ptr<NetNamespace> client;
  std::unique_ptr<NetNamespace> peerSpace;
  std::unique_ptr<ScriptedPeer> peer;
  uint8_t cardMac[kMacSize];
  TestConsole console;  // no key unless a test types one
  InstallClient installer;
};
