// netinstall-fetch brings interfaces up, promiscuous, and broadcasts on them:
// only those it is told with --interface, or every one of a network namespace
// of its own. Runs in the sandbox's network namespace, which it shares with
// the sandbox's process 1 as a program started by hand shares the machine's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "net_namespace.h"
#include "output_capture.h"
#include "scratch_directory.h"

namespace {

const std::string kFetch = KORVANEL_BINARY_DIR "/bin/netinstall-fetch";

// The flags of an interface as `ip -o link` shows them: "<BROADCAST,...,UP>".
std::string linkFlags(NetNamespace& space, const std::string& name) {
  std::string shown;
  space.run({"ip", "-o", "link", "show", name}, &shown);
  size_t open = shown.find('<');
  return open == std::string::npos ? "" : shown.substr(open, shown.find('>') - open + 1);
}

bool becomesPromiscuous(NetNamespace& space, const std::string& name) {
  for (int tries = 0; tries < 1000; ++tries) {
    if (linkFlags(space, name).find("PROMISC") != std::string::npos) return true;
    usleep(20000);
  }
  return false;
}

TEST(NetFetch, RefusesTheNamespaceItWasStartedInUnlessToldWhichInterfaces) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  ScratchDirectory scratch;
  int status = -1;
  std::string printed = shell(kFetch + " " + scratch / "out" + " 2>&1", &status);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(printed.rfind("netinstall-fetch: refusing to take over every network interface", 0),
            0u)
      << printed;
  struct stat info;
  EXPECT_NE(stat((scratch / "out").c_str(), &info), 0) << "it started before it refused";

  printed = shell(kFetch + " --interface nosuch0 " + scratch / "out" + " 2>&1", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(printed, "netinstall-fetch: cannot use interface nosuch0: No such device\n");
}

// No server answers, so each run keeps discovering until it is killed.
TEST(NetFetch, TakesTheInterfacesItIsToldOrEveryOneOfANamespaceOfItsOwn) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  auto installer = NetNamespace::create();
  auto peer = NetNamespace::create();
  ASSERT_TRUE(installer && peer);
  ASSERT_TRUE(connectNamespaces(*installer, "card0", *peer, "peer0"));
  ASSERT_TRUE(connectNamespaces(*installer, "card1", *peer, "peer1"));
  ScratchDirectory scratch;

  pid_t told = installer->spawn({kFetch, "--interface", "card1", scratch / "told"});
  EXPECT_TRUE(becomesPromiscuous(*installer, "card1"));
  std::string untouched = linkFlags(*installer, "card0");
  EXPECT_EQ(untouched.find("PROMISC"), std::string::npos) << untouched;
  EXPECT_EQ(untouched.find(",UP"), std::string::npos) << untouched;
  kill(told, SIGKILL);
  (void)waitBounded(told, 10);

  pid_t everyOne = installer->spawn({kFetch, scratch / "every"});
  EXPECT_TRUE(becomesPromiscuous(*installer, "card0"));
  kill(everyOne, SIGKILL);
  (void)waitBounded(everyOne, 10);
}

}  // namespace
