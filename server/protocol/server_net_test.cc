// netinstall-server as an operator meets it, in network namespaces of the
// test's own: what it refuses at start-up, how it stops, what it offers.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "output_capture.h"
#include "packages/package_fixtures.h"

namespace {

class ServerNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(120);
    server = NetNamespace::create();
    client = NetNamespace::create();
    ASSERT_TRUE(server && client);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
    FixturePackage base;
    base.name = "base";
    writeWholeFile(scratch / "root/packages/.keep", "");
    ASSERT_EQ(makeMedium(scratch / "root/packages", {base}), "");
  }
  void TearDown() override { alarm(0); }

  // Runs the server to its end: the exit code and what it printed.
  int runServer(const std::vector<std::string>& arguments, std::string& printed) {
    std::vector<std::string> argv = {serverBinary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::string logPath = scratch / "refused.log";
    int status = waitBounded(server->spawn(argv, logPath), 10);
    printed = readWholeFile(logPath);
    return exitCodeOf(status);
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> client;
  ScratchDirectory scratch;
};

TEST_F(ServerNetTest, RefusesToStartWithAReason) {
  std::string root = scratch / "root";
  std::string printed;
  EXPECT_EQ(runServer({"--interface", "srv0", "--root", root}, printed), 1);
  EXPECT_EQ(printed, "netinstall-server: interface srv0 is down\n");

  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  EXPECT_EQ(runServer({"--interface", "nosuch0", "--root", root}, printed), 1);
  EXPECT_EQ(printed, "netinstall-server: cannot use interface nosuch0: No such device\n");
  EXPECT_EQ(runServer({"--interface", "lo", "--root", root}, printed), 1);
  EXPECT_EQ(printed, "netinstall-server: interface lo is down\n");
  EXPECT_EQ(runServer({"--interface", "srv0", "--root", root + "/packages/base.bdl"}, printed), 1);
  EXPECT_EQ(printed, "netinstall-server: cannot use " + root + "/packages/base.bdl: not a directory\n");
  EXPECT_EQ(runServer({"--interface", "srv0", "--root", scratch / "none"}, printed), 1);
  EXPECT_EQ(printed,
            "netinstall-server: cannot use " + scratch / "none" + ": No such file or directory\n");
  EXPECT_EQ(runServer({"--interface", "srv0"}, printed), 2);
  EXPECT_EQ(printed.rfind("netinstall-server: --root is required\nusage: ", 0), 0u) << printed;

  ServerRun first(*server, "srv0", root, {}, scratch / "first.log");
  ASSERT_TRUE(first.waitForLog(" serving ", 10));
  EXPECT_EQ(runServer({"--interface", "srv0", "--root", root}, printed), 1);
  EXPECT_EQ(printed,
            "netinstall-server: cannot use UDP port 5000 on srv0: Address already in use\n");
}

TEST_F(ServerNetTest, StopsCleanlyOnSigintAndSigtermAndFailsLoudlyWhenItCannotWait) {
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  for (int signal : {SIGINT, SIGTERM}) {
    std::string logPath = scratch / ("stop" + std::to_string(signal) + ".log");
    ServerRun run(*server, "srv0", scratch / "root", {}, logPath);
    ASSERT_TRUE(run.waitForLog(" serving ", 10));
    EXPECT_EQ(exitCodeOf(run.stop(signal)), 0);
    EXPECT_NE(run.log().find(signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM"),
              std::string::npos)
        << run.log();
  }
  // A wait that fails leaves the installers without a server: that must
  // not read as a stop the operator asked for.
  std::string logPath = scratch / "wait-fails.log";
  std::string root = scratch / "root";
  pid_t pid = server->start(
      [&root]() -> int {
        if (!failSystemCall(SYS_ppoll, ENOMEM)) return 125;
        execl(serverBinary().c_str(), "netinstall-server", "--interface", "srv0", "--root",
              root.c_str(), static_cast<char*>(nullptr));
        return 126;
      },
      logPath);
  EXPECT_EQ(exitCodeOf(waitBounded(pid, 10)), 1);
  std::string log = readWholeFile(logPath);
  EXPECT_NE(log.find(" serving "), std::string::npos) << log;
  EXPECT_NE(log.find("netinstall-server: cannot wait for requests: Cannot allocate memory\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("stopped: cannot wait for requests"), std::string::npos) << log;
  EXPECT_NE(log.find("summary: "), std::string::npos) << log;
  EXPECT_EQ(log.find("stopped by"), std::string::npos) << log;
}

TEST_F(ServerNetTest, KeepIsOfferedWhenAskedFor) {
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  for (bool keep : {true, false}) {
    ServerRun run(*server, "srv0", scratch / "root", keep ? std::vector<std::string>{"--keep"}
                                                          : std::vector<std::string>{},
                  scratch / (keep ? "keep.log" : "fresh.log"));
    ASSERT_TRUE(run.waitForLog(" serving ", 10));
    EnterNamespace inside(*client);
    InstallClient installer;
    installer.open();
    installer.timing.discoveryCycleUsec = 200000;
    char offer[512] = "";
    bool keepOut = !keep;
    ASSERT_TRUE(installer.findServer("", offer, "lab", offer, sizeof offer, keepOut));
    EXPECT_EQ(keepOut, keep);
    EXPECT_STREQ(offer, "Korvanel installation");
    installer.close();
  }
}

// Its log goes into a pipe whose reader has stopped (a pager left on a
// page): installers are answered all the same, and every line comes, in
// order, once the reader goes on.
TEST_F(ServerNetTest, AnOutputThatIsNotReadHoldsUpNoInstaller) {
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  std::string fifo = scratch / "log.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(filler, 0);
  ASSERT_GT(fcntl(filler, F_SETPIPE_SZ, 4096), 0);
  std::string filled;
  while (write(filler, "x", 1) == 1) filled += "x";
  close(filler);

  ServerRun run(*server, "srv0", scratch / "root", {}, fifo);
  {
    EnterNamespace inside(*client);
    InstallClient installer;
    installer.open();
    installer.timing.discoveryCycleUsec = 200000;
    char offer[512] = "";
    bool keep = false;
    EXPECT_TRUE(installer.findServer("", offer, "lab", offer, sizeof offer, keep));
    installer.close();
  }
  ASSERT_EQ(kill(run.pid(), SIGTERM), 0);
  ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
  std::string log;
  char buffer[4096];
  ssize_t length;
  while ((length = read(reader, buffer, sizeof buffer)) > 0) log.append(buffer, length);
  close(reader);
  EXPECT_EQ(exitCodeOf(run.stop()), 0);
  ASSERT_EQ(log.compare(0, filled.size(), filled), 0);
  size_t serving = log.find(" serving ");
  size_t found = log.find("found, disk label \"lab\"");
  size_t stopped = log.find("stopped by SIGTERM");
  size_t summary = log.find("summary: machines 1 ");
  EXPECT_TRUE(serving < found && found < stopped && stopped < summary) << log;
}

// Without the privilege for packet sockets the server takes requests from
// its UDP socket and knows installers by the addresses they report: it
// says so once, and installs all the same.
TEST_F(ServerNetTest, WithoutPacketSocketsItInstallsByTheReportedAddresses) {
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  writeWholeFile(scratch / "root/scripts/autorun.scr", "hostname router\n");
  std::string root = scratch / "root";
  std::string logPath = scratch / "fallback.log";
  pid_t pid = server->start(
      [&root]() -> int {
        if (!refusePacketSockets()) return 125;
        execl(serverBinary().c_str(), "netinstall-server", "--interface", "srv0", "--root",
              root.c_str(), static_cast<char*>(nullptr));
        return 126;
      },
      logPath);
  for (int i = 0; i < 100 && readWholeFile(logPath).find(" serving ") == std::string::npos; ++i) {
    usleep(100000);
  }
  std::string log = readWholeFile(logPath);
  ASSERT_NE(log.find(" serving "), std::string::npos) << log;
  EXPECT_NE(log.find("warning: srv0: cannot open a packet socket: Operation not permitted: "
                     "installers are known by the hardware addresses they report"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(", replies broadcast"), std::string::npos) << log;
  {
    EnterNamespace inside(*client);
    TestConsole console;
    InstallClient installer;
    ClientTiming timing;
    timing.discoveryCycleUsec = 200000;
    installer.timing = timing;
    EXPECT_EQ(fetchEverything(installer, timing, scratch / "installed", /*drivers=*/false), "");
  }
  EXPECT_EQ(readWholeFile(scratch / "installed/base.bdl"),
            readWholeFile(scratch / "root/packages/base.bdl"));
  EXPECT_EQ(readWholeFile(scratch / "installed/autorun.scr"), "hostname router\n");
  kill(pid, SIGTERM);
  EXPECT_EQ(exitCodeOf(waitBounded(pid, 10)), 0);
  log = readWholeFile(logPath);
  EXPECT_NE(log.find("summary: machines 1  installing 0  done 1"), std::string::npos) << log;
}

// No driver package for the installer's kernel: it is told at once (an
// empty sequence), instead of asking for ever.
TEST_F(ServerNetTest, MissingDriversAreReportedToTheInstaller) {
  ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
  ServerRun run(*server, "srv0", scratch / "root", {}, scratch / "drivers.log");
  ASSERT_TRUE(run.waitForLog(" serving ", 10));
  EXPECT_NE(run.log().find("/drivers does not exist: no driver packages"), std::string::npos);
  EnterNamespace inside(*client);
  InstallClient installer;
  installer.open();
  installer.timing.discoveryCycleUsec = 200000;
  bool retrieved = true;
  std::string printed = captureStdout([&] { retrieved = installer.retrieveDrivers(); });
  EXPECT_FALSE(retrieved);
  EXPECT_EQ(printed, "");
  EXPECT_NE(run.log().find("there is no such file in drivers/"), std::string::npos) << run.log();
  installer.close();
}

// The host's server and the 32-bit one that may run on an old machine: a
// package over 2 GiB (sparse here) is listed like any other, not left out
// without a word. This one is no package, and the server says so.
class ServerBuilds : public ::testing::TestWithParam<std::string> {};

TEST_P(ServerBuilds, FilesOver2GibAreListed) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  ScratchDirectory scratch;
  FixturePackage base;
  base.name = "base";
  writeWholeFile(scratch / "root/packages/.keep", "");
  ASSERT_EQ(makeMedium(scratch / "root/packages", {base}), "");
  std::string huge = scratch / "root/packages/huge.bdl";
  writeWholeFile(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), 3LL << 30), 0);
  auto space = NetNamespace::create();
  ASSERT_TRUE(space);
  std::string logPath = scratch / "server.log";
  int status =
      waitBounded(space->spawn({GetParam(), "--interface", "none0", "--root", scratch / "root"},
                               logPath),
                  20);
  EXPECT_EQ(exitCodeOf(status), 1);
  EXPECT_EQ(readWholeFile(logPath), "netinstall-server: " + huge + " is not a package\n");
}

INSTANTIATE_TEST_SUITE_P(Builds, ServerBuilds,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/netinstall-server",
                                           KORVANEL_I386_DIR "/bin/netinstall-server"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
