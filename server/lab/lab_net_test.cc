// The lab's state as a rack of machines meets it, with the real server and
// the installed system's real report-up in network namespaces of the test's
// own: a machine installs once and is then held until armed; its installed
// system's report makes it up; forged and replayed reports are refused.

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "packages/package_fixtures.h"
#include "server/lab/lab_state.h"
#include "up_report.h"

namespace {

constexpr const char* kCard = "52:54:00:aa:00:01";
constexpr const char* kCardFile = "52-54-00-aa-00-01";

class LabNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(240);
    server = NetNamespace::create();
    client = NetNamespace::create();
    ASSERT_TRUE(server && client);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
    ASSERT_EQ(client->run({"ip", "link", "set", "card0", "address", kCard}), 0);
    ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
    FixturePackage base;
    base.name = "base";
    writeWholeFile(scratch / "root/packages/.keep", "");
    ASSERT_EQ(makeMedium(scratch / "root/packages", {base}), "");
  }
  void TearDown() override { alarm(0); }

  // One installation as the installer runs it; "" or what failed.
  std::string install(const std::string& into) {
    EnterNamespace inside(*client);
    InstallClient installer;
    ClientTiming timing;
    timing.discoveryCycleUsec = 200000;
    installer.timing = timing;
    return fetchEverything(installer, timing, into, /*drivers=*/false);
  }

  // report-up in the machine's namespace with `tokenText`: its exit code.
  int reportUp(const std::string& tokenText, int tries) {
    std::string path = scratch / "token-copy";
    writeWholeFile(path, tokenText);
    pid_t pid = client->spawn({buildProgram("report-up"), "--tries", std::to_string(tries), path},
                              scratch / "report-up.log");
    return exitCodeOf(waitBounded(pid, 60));
  }

  std::string phase() {
    std::string text = readWholeFile(scratch / (std::string("state/machines/") + kCardFile));
    size_t at = text.find("phase: ");
    return at == std::string::npos ? "" : text.substr(at + 7, text.find('\n', at) - at - 7);
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> client;
  ScratchDirectory scratch;
};

TEST_F(LabNetTest, InstalledOnceHeldUntilArmedAndUpOnlyWithItsOwnToken) {
  ServerRun run(*server, "srv0", scratch / "root", {"--state", scratch / "state"},
                scratch / "server.log");
  ASSERT_TRUE(run.waitForLog(" serving ", 10));
  ASSERT_EQ(install(scratch / "first"), "");
  std::string firstToken = readWholeFile(scratch / (std::string("first/") + kUpTokenFileName));
  UpToken parsed;
  ASSERT_TRUE(parseUpToken(firstToken, parsed)) << firstToken;
  EXPECT_EQ(phase(), "done");
  // The token is the installation's own: nowhere in what the operator reads.
  EXPECT_EQ(run.log().find(parsed.token), std::string::npos);
  EXPECT_EQ(readWholeFile(scratch / (std::string("state/machines/") + kCardFile)).find(parsed.token),
            std::string::npos);

  // Installed: its installer is not offered again; the log says why, once.
  {
    EnterNamespace inside(*client);
    int peer = openPeerSocket("card0");
    ASSERT_GE(peer, 0);
    NetMessage discovery, answer;
    composeDiscovery(discovery, "", "", "lab");
    uint8_t card[kMacSize];
    ASSERT_TRUE(parseMac(kCard, card));
    discovery.setSource(card);
    discovery.setSequence(0);
    for (int attempt = 0; attempt < 3; ++attempt) {
      ASSERT_TRUE(sendBroadcast(peer, discovery));
      long length;
      while ((length = receiveDatagram(peer, answer, 0.5)) >= 0) {
        EXPECT_FALSE(answer.payloadBeginsWith(messageTag(MessageType::offer)));
      }
    }
    close(peer);
  }
  ASSERT_TRUE(run.waitForLog("held: installed already (done): an installer claims its address", 5));

  // Right address, a token of no installation: refused, not up.
  UpToken forged = parsed;
  forged.token = std::string(32, 'a');
  std::string forgedText = "token: " + forged.token + "\nserver: " + macText(forged.server) + "\n";
  EXPECT_EQ(reportUp(forgedText, 1), 1);
  ASSERT_TRUE(run.waitForLog("up report refused: wrong token", 5));
  EXPECT_EQ(phase(), "done");

  // The installed system's own report: up, and report-up says so.
  EXPECT_EQ(reportUp(firstToken, 5), 0) << readWholeFile(scratch / "report-up.log");
  ASSERT_TRUE(run.waitForLog("up: ", 5));
  EXPECT_EQ(phase(), "up");

  // Armed again (the operator's marker): it installs, with a new token.
  writeWholeFile(scratch / (std::string("state/armed/") + kCardFile), "");
  ASSERT_EQ(install(scratch / "second"), "");
  ASSERT_TRUE(run.waitForLog("armed again: installation 2", 5));
  EXPECT_NE(readWholeFile(scratch / (std::string("second/") + kUpTokenFileName)), firstToken);
  EXPECT_EQ(access((scratch / (std::string("state/armed/") + kCardFile)).c_str(), F_OK), -1);

  // The first installation's token is a replay now.
  EXPECT_EQ(reportUp(firstToken, 1), 1);
  ASSERT_TRUE(run.waitForLog("up report refused: token of an earlier installation", 5));
  EXPECT_EQ(phase(), "done");
  EXPECT_EQ(reportUp(readWholeFile(scratch / (std::string("second/") + kUpTokenFileName)), 5), 0);
  EXPECT_EQ(phase(), "up");
  ASSERT_EQ(exitCodeOf(run.stop()), 0);
  EXPECT_NE(run.log().find("up 2  not up 0  up refused 2  re-armed 1"), std::string::npos)
      << run.log();
}

}  // namespace
