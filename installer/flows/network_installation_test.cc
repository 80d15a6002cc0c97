// The network installation end to end: the installer as process 1 of a
// sandbox whose network namespace is joined by a veth pair to the real
// netinstall-server's, the target disk on a loop device, real mke2fs. The
// operator's lines byte for byte once for a whole run, then the failures.
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "hardware/module_loader.h"
#include "net_namespace.h"
#include "netinstall/net_test_support.h"
#include "output_capture.h"
#include "packages/package_fixtures.h"
#include "sandbox.h"

namespace {

constexpr double kTimeout = 240;
constexpr uint64_t kCylinderBytes = 255 * 63 * 512;
constexpr uint64_t kRootOffset = 63 * 512;  // partition 1 starts one track in
constexpr const char* kAutorun = "echo configured by the server\n";
constexpr const char* kHeldScript = "echo never on the disk\n";
constexpr const char* kWelcome =
    "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software remote installation\n"
    "Press Ctrl-Alt-Delete to abort\n";
constexpr const char* kPrompt = "Press ENTER to reboot\n";

std::string kernelRelease() {
  utsname system;
  return uname(&system) == 0 ? system.release : "";
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// The progress lines' dots depend on how fast the machine is.
std::string withoutDots(const std::string& output) {
  return std::regex_replace(output, std::regex("\\.\\.\\.\\.+"), "...");
}

// A file of the installed system, read from the disk image by e2fsprogs.
std::string installedFile(const std::string& image, const std::string& path) {
  return shell("debugfs -R 'cat " + path + "' '" + image + "?offset=" +
               std::to_string(kRootOffset) + "' 2>/dev/null");
}

FixturePackage package(const std::string& name, std::vector<std::string> depends = {}) {
  FixturePackage fixture;
  fixture.name = name;
  fixture.depends = std::move(depends);
  return fixture;
}

class NetworkInstallation : public ::testing::Test {
 protected:
  void SetUp() override {
    // The package children end inside the new system, where there is no
    // /proc for the leak checker of this build.
    setenv("LSAN_OPTIONS", "detect_leaks=0", 1);
    server = NetNamespace::create();
    machine = NetNamespace::create();
    ASSERT_TRUE(server && machine);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *machine, "eth0"));
    ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
    root = scratch / "root";
    std::filesystem::create_directories(root + "/packages");
    ASSERT_EQ(makeMedium(root + "/packages",
                         {package("apps", {"base"}), package("base"), package("tools")}),
              "");
    writeWholeFile(root + "/scripts/autorun.scr", kAutorun);
    writeWholeFile(root + "/held-scripts/aside.scr", kHeldScript);
    writeDriverPackage();
    image = scratch / "disk.img";
    writeWholeFile(image, "");
    ASSERT_EQ(truncate(image.c_str(), 8 * kCylinderBytes), 0);  // ext3, one partition
    sandbox.options.typeText = "net\n";
    sandbox.options.networkOf = machine->holder();
    sandbox.options.disks = {{"hda", image}};
  }

  // What the machine gets from the server before it can see its disk: the
  // module files at every list entry (junk here: this machine loads no
  // real module) and the partitioning tool. The sandbox's /proc/partitions
  // lists no disk of its own, so the tool stands behind a script that names
  // the loop disk when asked to list the disks.
  void writeDriverPackage() {
    std::string tree = scratch / "drivers";
    std::string modules = tree + "/lib/modules/" + kernelRelease() + "/";
    for (const char* const* list : {storageModules, usbModules}) {
      for (const char* const* entry = list; *entry != nullptr; ++entry) {
        writeWholeFile(modules + *entry, "not a module\n");
      }
    }
    writeWholeFile(tree + "/sbin/sfdisk",
                   "#!/bin/sh\n"
                   "[ \"$*\" = -g ] && exec /sbin/sfdisk.tool -g /dev/hda\n"
                   "exec /sbin/sfdisk.tool \"$@\"\n");
    std::filesystem::copy_file(KORVANEL_BINARY_DIR "/bin/sfdisk", tree + "/sbin/sfdisk.tool");
    chmod((tree + "/sbin/sfdisk").c_str(), 0755);
    chmod((tree + "/sbin/sfdisk.tool").c_str(), 0755);
    std::string out = root + "/drivers/" + kernelRelease() + ".bdl";
    std::filesystem::create_directories(root + "/drivers");
    int status = -1;
    shell(bdlTool() + " pack --name disk-drivers '" + tree + "' '" + out + "'", &status);
    ASSERT_EQ(status, 0);
  }

  void startServer(const std::vector<std::string>& extra = {}) {
    run = std::make_unique<ServerRun>(*server, "srv0", root, extra, scratch / "server.log");
    ASSERT_TRUE(run->waitForLog(" serving ", 10)) << run->log();
  }

  // The lines up to the server search, which every run with drivers shows.
  std::string linesToTheServer() {
    return std::string(kWelcome) + "\nmac-address: " + upper(machine->macAddress("eth0")) +
           "\n\nWaiting for drivers...\nRetrieving drivers...\nLoading drivers\n"
           "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
           "disk label: korvanel\n\n\nWaiting for installation server...\n"
           "Found server at " + upper(server->macAddress("srv0")) + "\n\n"
           "Creating partition...\nFormatting disk...\n\n";
  }

  // Waits for the closing prompt of a failed run, answers it and checks
  // the restart. Returns the lines before the restart.
  std::string failedRun() {
    EXPECT_TRUE(sandbox.console().waitFor(kPrompt, kTimeout)) << sandbox.console().output();
    sandbox.console().send("\r");
    EXPECT_EQ(sandbox.waitForEnd(30), Sandbox::kRestarted);
    std::string output = withoutDots(sandbox.console().output());
    std::string end = "\033[?25h\nRebooting...\n";
    EXPECT_EQ(output.substr(output.size() - std::min(output.size(), end.size())), end);
    return output.substr(0, output.size() - std::min(output.size(), end.size()));
  }

  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> machine;
  std::unique_ptr<ServerRun> run;
  ScratchDirectory scratch;
  std::string root;
  std::string image;
  Sandbox sandbox;
};

TEST_F(NetworkInstallation, WholeRunFromTheWelcomeToTheRestart) {
  startServer();
  ASSERT_TRUE(sandbox.start());
  ASSERT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted) << sandbox.console().output();
  EXPECT_EQ(withoutDots(sandbox.console().output()),
            linesToTheServer() +
                "Writing configuration...\nWriting configuration...\n"
                "Checking disk integrity...\n"
                "\nSoftware installed.\nPress ENTER to reboot\n"
                "\033[?25h\nRebooting...\n");
  std::string log = run->log();
  EXPECT_NE(log.find("started: 3 packages, 2 scripts"), std::string::npos) << log;
  EXPECT_NE(log.find(" done\n"), std::string::npos) << "the closing wait ended by TERM:\n" << log;

  for (const char* name : {"base", "apps", "tools"}) {
    EXPECT_EQ(installedFile(image, std::string("/usr/share/") + name), std::string(name) + "\n");
  }
  EXPECT_EQ(installedFile(image, "/autorun.scr"), kAutorun);
  EXPECT_EQ(installedFile(image, "/aside.scr"), "");
  EXPECT_EQ(readFile(sandbox.rootPath("/empty")), kHeldScript) << "the mark-0 script went aside";
  std::string marker = shell("debugfs -R 'stat /CDINSTALL' '" + image + "?offset=" +
                             std::to_string(kRootOffset) + "' 2>/dev/null");
  EXPECT_NE(marker.find("Mode:  0600"), std::string::npos) << marker;
}

TEST_F(NetworkInstallation, NoDriversForThisKernelEndTheRunBeforeTheDisk) {
  std::filesystem::remove_all(root + "/drivers");
  startServer();
  ASSERT_TRUE(sandbox.start());
  EXPECT_EQ(failedRun(), std::string(kWelcome) + "\nmac-address: " +
                             upper(machine->macAddress("eth0")) +
                             "\n\nWaiting for drivers...\n"
                             "\nFATAL ERROR: could not retrieve disk drivers\n" + kPrompt);
  std::string sector(512, 'x');
  std::ifstream(image, std::ios::binary).read(sector.data(), sector.size());
  EXPECT_EQ(sector, std::string(512, '\0')) << "the disk is untouched";
}

// The server stops answering "STRT" (its tree has lost its packages after
// the offer): the disk is prepared, nothing is installed.
TEST_F(NetworkInstallation, ServerThatDoesNotConfirmTheStartRefusesToInstall) {
  startServer();
  ASSERT_TRUE(sandbox.start());
  ASSERT_TRUE(run->waitForLog("took the offer", kTimeout)) << sandbox.console().output();
  std::filesystem::rename(root + "/packages", root + "/withdrawn");
  EXPECT_EQ(failedRun(),
            linesToTheServer() + "\nFATAL ERROR: server refused to install\n" + kPrompt);
  EXPECT_NE(run->log().find("cannot start"), std::string::npos) << run->log();
}

// The server dies while a package is on its way: the package is not
// installed and the run does not pretend it was.
TEST_F(NetworkInstallation, ServerLostInsideAPackageIsABadConnection) {
  std::string tree = scratch / "big-tree";
  writeWholeFile(tree + "/usr/share/big", patternData(4 * 1024 * 1024, 3));
  int status = -1;
  shell(bdlTool() + " pack --name big '" + tree + "' '" + root + "/packages/big.bdl'", &status);
  ASSERT_EQ(status, 0);
  startServer({"--block-size", "256"});
  ASSERT_TRUE(sandbox.start());
  ASSERT_TRUE(run->waitForLog("sending big.bdl", kTimeout)) << sandbox.console().output();
  run->stop(SIGKILL);
  std::string output = failedRun();
  std::string cut = "\nFATAL ERROR: bad network connection\n";
  ASSERT_EQ(output.substr(0, linesToTheServer().size() + cut.size()), linesToTheServer() + cut)
      << output;
  // Then the package child's own word on the cut stream, and the prompt.
  EXPECT_NE(output.find("install: ", linesToTheServer().size()), std::string::npos) << output;
  EXPECT_EQ(output.substr(output.size() - strlen(kPrompt)), kPrompt);
  EXPECT_EQ(installedFile(image, "/CDINSTALL"), "");
}

}  // namespace
