// One netinstall-server on two installation networks: two bridges in the
// server's namespace, each with an installer behind it. Each installer must
// be answered on its own segment, by that segment's hardware address, and
// both installations must complete while they run side by side.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>

#include <memory>
#include <string>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "packages/package_fixtures.h"

namespace {

TEST(ServerSegmentsTest, EachInstallerIsServedOnTheSegmentItAskedFrom) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  alarm(180);
  ScratchDirectory scratch;
  FixturePackage base;
  base.name = "base";
  writeWholeFile(scratch / "root/packages/.keep", "");
  ASSERT_EQ(makeMedium(scratch / "root/packages", {base}), "");
  writeWholeFile(scratch / "root/scripts/autorun.scr", "hostname lab\n");

  auto server = NetNamespace::create();
  ASSERT_TRUE(server);
  std::unique_ptr<NetNamespace> labs[2] = {NetNamespace::create(), NetNamespace::create()};
  std::string bridgeMacs[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(labs[i]);
    std::string bridge = "br" + std::to_string(i), port = "port" + std::to_string(i);
    ASSERT_EQ(server->run({"ip", "link", "add", bridge, "type", "bridge", "forward_delay", "0"}), 0);
    ASSERT_TRUE(connectNamespaces(*server, port, *labs[i], "card0", /*up=*/true));
    ASSERT_EQ(server->run({"ip", "link", "set", port, "master", bridge, "up"}), 0);
    ASSERT_EQ(server->run({"ip", "link", "set", bridge, "up"}), 0);
    bridgeMacs[i] = server->macAddress(bridge);
  }
  ServerRun run(*server, "br0", scratch / "root", {"--interface", "br1"}, scratch / "server.log");
  ASSERT_TRUE(run.waitForLog(" on br1 ", 10)) << run.log();

  pid_t installers[2];
  for (int i = 0; i < 2; ++i) {
    std::string directory = scratch / ("lab" + std::to_string(i));
    installers[i] = labs[i]->start([directory] {
      TestConsole console;
      InstallClient client;
      ClientTiming timing;
      timing.replyTimeoutUsec = 30000;
      timing.discoveryCycleUsec = 200000;
      timing.closingUsec = 100000;
      std::string result = fetchEverything(client, timing, directory, /*drivers=*/false);
      writeWholeFile(directory + "/result", result + "\nserver " + client.serverAddressText());
      return result.empty() ? 0 : 1;
    });
  }
  for (int i = 0; i < 2; ++i) {
    std::string directory = scratch / ("lab" + std::to_string(i));
    EXPECT_EQ(exitCodeOf(waitBounded(installers[i], 120)), 0) << readWholeFile(directory + "/result");
    std::string result = readWholeFile(directory + "/result");
    std::string server = result.substr(result.find("server ") + 7);
    for (char& c : server) c = static_cast<char>(tolower(c));
    EXPECT_EQ(server, bridgeMacs[i]) << "installer " << i << " answered from the other segment";
    EXPECT_EQ(readWholeFile(directory + "/autorun.scr"), "hostname lab\n");
  }
  std::string log = run.log();
  size_t done = 0;
  for (size_t at = log.find(" done\n"); at != std::string::npos; at = log.find(" done\n", at + 1)) {
    ++done;
  }
  EXPECT_EQ(done, 2u) << log;
  EXPECT_NE(log.find("on br0 ("), std::string::npos) << log;
  alarm(0);
}

}  // namespace
