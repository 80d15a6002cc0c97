// Packages from netinstall-server into the package installer child, as the
// network installation feeds them: into a target root, and the driver
// package into the running system (the sandbox's own root).

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "disk/command_runner.h"
#include "net_namespace.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "output_capture.h"
#include "packages/package_fixtures.h"

// Children of this binary end inside a changed root without /proc, where the
// leak checker cannot run (it would fail their exit).
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

FixturePackage package(const std::string& name, std::vector<std::string> depends = {}) {
  FixturePackage fixture;
  fixture.name = name;
  fixture.depends = std::move(depends);
  return fixture;
}

class PackageInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(120);
    signal(SIGPIPE, SIG_IGN);  // as the installation process has it
    server = NetNamespace::create();
    client = NetNamespace::create();
    ASSERT_TRUE(server && client);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *client, "card0"));
    ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
    writeWholeFile(scratch / "root/packages/.keep", "");
    mkdir((scratch / "target").c_str(), 0755);
  }
  void TearDown() override { alarm(0); }

  void startServer(const std::vector<std::string>& extra = {}) {
    run = std::make_unique<ServerRun>(*server, "srv0", scratch / "root", extra,
                                      scratch / "server.log");
    ASSERT_TRUE(run->waitForLog(" serving ", 10)) << run->log();
  }

  // Discovery and start, then every file as the network flow delivers it:
  // scripts into the target, packages into installer children rooted there.
  // Returns what the installer printed (with what the children printed on
  // their standard error when `withChildren`); `installed` says whether all
  // went.
  std::string installEverything(bool& installed, bool withChildren = false) {
    EnterNamespace inside(*client);
    TestConsole console;
    InstallClient installer;
    installer.open();
    installer.timing.replyTimeoutUsec = 50000;
    installer.timing.discoveryCycleUsec = 200000;
    std::string target = scratch / "target";
    installed = false;
    int savedError = dup(2);
    std::string printed = captureStdout([&] {
      if (withChildren) dup2(1, 2);
      char offer[512] = "";
      bool keep = false;
      if (!installer.findServer("", offer, "lab", offer, sizeof offer, keep)) return;
      if (!installer.startInstallation()) return;
      char name[32];
      int mark = 0;
      NextFile next;
      while ((next = installer.nextFile(name, sizeof name, &mark)) == NextFile::file) {
        std::string nameText = name;
        bool script = nameText.size() > 4 && nameText.substr(nameText.size() - 4) == ".scr";
        bool done = script ? receiveToFile(installer, (target + "/" + nameText).c_str())
                           : receiveToInstaller(installer, target.c_str(), /*intoTarget=*/true);
        if (!done) return;
      }
      installed = next == NextFile::end;
    });
    dup2(savedError, 2);
    close(savedError);
    installer.close();
    return printed;
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> client;
  std::unique_ptr<ServerRun> run;
  ScratchDirectory scratch;
};

TEST_F(PackageInstallTest, PackagesAreInstalledIntoTheTargetInDependencyOrder) {
  ASSERT_EQ(makeMedium(scratch / "root/packages",
                       {package("apps", {"base"}), package("base"), package("tools")}),
            "");
  writeWholeFile(scratch / "root/scripts/autorun.scr", "echo configured\n");
  startServer();
  bool installed = false;
  std::string printed = installEverything(installed);
  EXPECT_TRUE(installed) << printed;
  EXPECT_EQ(printed, "");
  for (const char* name : {"base", "apps", "tools"}) {
    EXPECT_EQ(readWholeFile(scratch / ("target/usr/share/" + std::string(name))),
              std::string(name) + "\n");
  }
  EXPECT_EQ(readWholeFile(scratch / "target/autorun.scr"), "echo configured\n");
  std::string log = run->log();
  EXPECT_LT(log.find("sent base.bdl"), log.find("sending apps.bdl")) << log;
  EXPECT_EQ(activeChildPid, -1);
}

// A package whose end is damaged reads fine at its head (the server serves
// it) but the library refuses it: the installation stops there.
TEST_F(PackageInstallTest, RefusedPackageStopsTheInstallation) {
  ASSERT_EQ(makeMedium(scratch / "root/packages", {package("base"), package("zz")}), "");
  std::string damaged = readWholeFile(scratch / "root/packages/base.bdl");
  damaged[damaged.size() - 3] ^= 0x55;  // the compressed stream's trailer
  writeWholeFile(scratch / "root/packages/base.bdl", damaged);
  startServer();
  bool installed = true;
  std::string printed = installEverything(installed);
  EXPECT_FALSE(installed);
  EXPECT_EQ(printed, "\nFATAL ERROR: could not install base.bdl\n")
      << "the library has said why (on its standard error); the line names the file";
  EXPECT_FALSE(exists(scratch / "target/usr/share/zz")) << "nothing after the refused package";
  EXPECT_EQ(activeChildPid, -1);
}

// The server dies while a package is on its way: the child is ended (the
// cut package is not installed) and the connection is reported.
TEST_F(PackageInstallTest, ServerDyingInsideAPackageEndsTheChild) {
  std::string tree = scratch / "big-tree";
  writeWholeFile(tree + "/usr/share/big", patternData(3 * 1024 * 1024, 7));
  ASSERT_EQ(system((bdlTool() + " pack --name big '" + tree + "' '" + scratch.path() +
                    "/root/packages/big.bdl' >/dev/null").c_str()),
            0);
  startServer({"--block-size", "64"});
  std::thread killer([this] {
    if (run->waitForLog("sending big.bdl", 30)) {
      usleep(200000);
      run->stop(SIGKILL);
    }
  });
  bool installed = true;
  std::string printed = installEverything(installed, /*withChildren=*/true);
  killer.join();
  EXPECT_FALSE(installed);
  std::string fatal = "\nFATAL ERROR: bad network connection\n";
  EXPECT_EQ(printed.substr(0, fatal.size()), fatal)
      << "the connection first, then what the child says about the cut package:\n" << printed;
  EXPECT_NE(printed.find("truncated", fatal.size()), std::string::npos) << printed;
  EXPECT_FALSE(exists(scratch / "target/var/pdb/big")) << "not recorded as installed";
  EXPECT_EQ(activeChildPid, -1);
}

// The driver package goes into the running system: no change of root.
TEST_F(PackageInstallTest, DriverPackageGoesIntoTheRunningSystem) {
  ASSERT_EQ(makeMedium(scratch / "root/packages", {package("base")}), "");
  std::string name = "netdrv" + std::to_string(getpid());
  mkdir((scratch / "root/drivers").c_str(), 0755);
  ASSERT_EQ(makeMedium(scratch / "root/drivers", {package(name)}), "");
  std::string release = readWholeFile("/proc/sys/kernel/osrelease");
  release.pop_back();
  ASSERT_EQ(rename((scratch / ("root/drivers/" + name + ".bdl")).c_str(),
                   (scratch / ("root/drivers/" + release + ".bdl")).c_str()),
            0);
  startServer();
  std::string installedPath = "/usr/share/" + name;
  ASSERT_FALSE(exists(installedPath));
  {
    EnterNamespace inside(*client);
    TestConsole console;
    InstallClient installer;
    installer.open();
    installer.timing.discoveryCycleUsec = 200000;
    ASSERT_TRUE(installer.retrieveDrivers());
    std::string printed;
    bool received = false;
    printed = captureStdout([&] {
      received = receiveToInstaller(installer, nullptr, /*intoTarget=*/false);
    });
    EXPECT_TRUE(received) << printed;
    installer.close();
  }
  EXPECT_EQ(readWholeFile(installedPath), name + "\n");
  unlink(installedPath.c_str());  // the sandbox's /usr is an overlay, but tidy all the same
}

}  // namespace
