// The network installation end to end: the installer as process 1 of a
// sandbox whose network namespace is joined by a veth pair to the real
// netinstall-server's, the target disk on a loop device, real mke2fs. The
// operator's lines byte for byte for a whole run, then the failures.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
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
constexpr const char* kAutorun = "echo configured by the server\n";
constexpr const char* kHeldScript = "echo never on the disk\n";
constexpr const char* kPrompt = "Press ENTER to reboot\n";
constexpr const char* kRebooting = "\033[?25h\nRebooting...\n";

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// A file of the installed system, read from the image (partition 1 starts
// one track in) by e2fsprogs; "" when it is not there.
std::string installed(const std::string& image, const std::string& command) {
  return shell("debugfs -R '" + command + "' '" + image + "?offset=32256' 2>/dev/null");
}

bool pack(const std::string& tree, const std::string& out, const std::string& name) {
  int status = -1;
  shell(bdlTool() + " pack --name " + name + " '" + tree + "' '" + out + "'", &status);
  return status == 0;
}

class NetworkInstallation : public ::testing::Test {
 protected:
  void SetUp() override {
    // The package children end inside the new system, where there is no
    // /proc for this build's leak checker.
    setenv("LSAN_OPTIONS", "detect_leaks=0", 1);
    server = NetNamespace::create();
    machine = NetNamespace::create();
    ASSERT_TRUE(server && machine);
    ASSERT_TRUE(connectNamespaces(*server, "srv0", *machine, "eth0"));
    ASSERT_EQ(server->run({"ip", "link", "set", "srv0", "up"}), 0);
    writeWholeFile(root + "/packages/.keep", "");
    ASSERT_EQ(makeMedium(root + "/packages", {{"apps", {"base"}, "", ""}, {"base", {}, "", ""},
                                              {"tools", {}, "", ""}}), "");
    writeWholeFile(root + "/scripts/autorun.scr", kAutorun);
    writeWholeFile(root + "/held-scripts/aside.scr", kHeldScript);
    // The drivers: junk at every list entry (this machine loads no real
    // module) and the partitioning tool, behind a script that names the
    // loop disk when asked for the disks (the sandbox's /proc/partitions
    // lists none of its own).
    std::string tree = scratch / "drivers";
    for (const char* const* list : {storageModules, usbModules}) {
      for (const char* const* entry = list; *entry != nullptr; ++entry) {
        writeWholeFile(tree + "/lib/modules/" + kernelRelease() + "/" + *entry, "not a module\n");
      }
    }
    writeWholeFile(tree + "/sbin/sfdisk",
                   "#!/bin/sh\n[ \"$*\" = -g ] && set -- -g /dev/hda\nexec /sbin/sfdisk.tool \"$@\"\n");
    std::filesystem::copy_file(KORVANEL_BINARY_DIR "/bin/sfdisk", tree + "/sbin/sfdisk.tool");
    chmod((tree + "/sbin/sfdisk").c_str(), 0755);
    writeWholeFile(root + "/drivers/.keep", "");
    ASSERT_TRUE(pack(tree, root + "/drivers/" + kernelRelease() + ".bdl", "disk-drivers"));
    writeWholeFile(image, "");
    ASSERT_EQ(truncate(image.c_str(), 8 * 255 * 63 * 512), 0);  // ext3, one partition
    sandbox.options.typeText = "net\n";
    sandbox.options.networkOf = machine->holder();
    sandbox.options.disks = {{"hda", image}};
  }

  void start(const std::vector<std::string>& serverOptions = {}) {
    run = std::make_unique<ServerRun>(*server, "srv0", root, serverOptions, scratch / "log");
    ASSERT_TRUE(run->waitForLog(" serving ", 10)) << run->log();
    ASSERT_TRUE(sandbox.start());
  }

  std::string linesToTheDrivers() {
    return "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software remote installation\n"
           "Press Ctrl-Alt-Delete to abort\n\nmac-address: " +
           upper(machine->macAddress("eth0")) + "\n\nWaiting for drivers...\n";
  }
  // The lines up to the start of the transfer, the dots of the progress
  // lines folded (their number depends on the machine's speed).
  std::string linesToTheStart(bool verified = false) {
    return linesToTheDrivers() + "Retrieving drivers...\n" +
           (verified ? "" : "Packages are not verified: the boot medium carries no package key.\n") +
           "Loading drivers\n"
           "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
           "disk label: korvanel\n\n\nWaiting for installation server...\n"
           "Found server at " + upper(server->macAddress("srv0")) + "\n\n"
           "Creating partition...\nFormatting disk...\n\n";
  }
  // Signs every package and the drivers with a new operator key, puts the
  // key on the medium when `keyOnMedium` and, unless `releaseNumber` is 0,
  // writes the root's release list, autorun.scr in it for the machine
  // `autorunFor` alone when given. Returns the key's id.
  std::string signEverything(int releaseNumber, bool keyOnMedium = true,
                             const std::string& autorunFor = "") {
    std::string key = scratch / "operator";
    int status = -1;
    shell(bdlTool() + " keygen '" + key + "' >/dev/null", &status);
    EXPECT_EQ(status, 0);
    std::string driver = "--driver '" + root + "/drivers/" + kernelRelease() + ".bdl'";
    std::string autorun = autorunFor.empty() ? root + "/scripts/autorun.scr" : ownScript();
    std::string listed = (autorunFor.empty() ? " '" : " --machine " + autorunFor + " '") +
                         autorun + "' '" + root + "/held-scripts/aside.scr'";
    for (const char* package : {"packages/apps", "packages/base", "packages/tools", ""}) {
      std::string path = *package ? root + "/" + package + ".bdl" : root + "/drivers/" + kernelRelease() + ".bdl";
      shell(bdlTool() + " sign --key '" + key + "' '" + path + "'", &status);
      EXPECT_EQ(status, 0) << path;
      if (*package) listed += " '" + path + "'";
    }
    if (releaseNumber != 0) {
      releaseCommand = bdlTool() + " release --key '" + key + "' --number " +
                       std::to_string(releaseNumber) + " '" + root + "/release.lst'" + listed +
                       " " + driver + " >/dev/null";
      shell(releaseCommand, &status);
      EXPECT_EQ(status, 0);
    }
    if (keyOnMedium) sandbox.options.files.push_back({key + ".pub", "/package-key.pub"});
    std::string text = readFile(key + ".pub");
    return text.substr(text.find("key: ") + 5, 16);
  }

  // The root as a lab's inventory renders it for this one machine: its
  // autorun.scr its own, every other machine refused. Its path.
  std::string ownScript() {
    std::string mac = machine->macAddress("eth0");
    std::replace(mac.begin(), mac.end(), ':', '-');
    std::string folder = root + "/machines/" + mac;
    if (!std::filesystem::exists(folder)) {
      writeWholeFile(folder + "/machine.conf", "name: router-1\ngroup: lab\n");
      std::filesystem::create_directories(folder + "/scripts");
      std::filesystem::rename(root + "/scripts/autorun.scr", folder + "/scripts/autorun.scr");
      writeWholeFile(root + "/unknown/machine.conf", "policy: refuse\n");
    }
    return folder + "/scripts/autorun.scr";
  }
  std::string releaseCommand;

  std::string output() {
    return std::regex_replace(sandbox.console().output(), std::regex("\\.\\.\\.\\.+"), "...");
  }

  // A failed run: the prompt is answered; the lines before the restart.
  std::string failedRun() {
    EXPECT_TRUE(sandbox.console().waitFor(kPrompt, kTimeout)) << sandbox.console().output();
    sandbox.console().send("\r");
    EXPECT_EQ(sandbox.waitForEnd(30), Sandbox::kRestarted);
    std::string shown = output();
    size_t end = shown.size() - std::min(shown.size(), strlen(kRebooting));
    EXPECT_EQ(shown.substr(end), kRebooting);
    return shown.substr(0, end);
  }

  ScratchDirectory scratch;
  std::string root = scratch / "root";
  std::string image = scratch / "disk.img";
  std::unique_ptr<NetNamespace> server;
  std::unique_ptr<NetNamespace> machine;
  std::unique_ptr<ServerRun> run;
  Sandbox sandbox;
};

TEST_F(NetworkInstallation, WholeRunFromTheWelcomeToTheRestart) {
  start();
  ASSERT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted) << sandbox.console().output();
  EXPECT_EQ(output(), linesToTheStart() +
                          "Writing configuration...\nWriting configuration...\n"
                          "Checking disk integrity...\n\nSoftware installed.\n" + kPrompt +
                          kRebooting);
  EXPECT_NE(run->log().find("started: 3 packages, 2 scripts"), std::string::npos) << run->log();
  EXPECT_NE(run->log().find(" done\n"), std::string::npos) << "no TERM for the closing wait";
  for (const char* name : {"base", "apps", "tools"}) {
    EXPECT_EQ(installed(image, std::string("cat /usr/share/") + name), std::string(name) + "\n");
  }
  EXPECT_EQ(installed(image, "cat /autorun.scr"), kAutorun);
  EXPECT_EQ(installed(image, "cat /aside.scr"), "");
  EXPECT_EQ(readFile(sandbox.rootPath("/empty")), kHeldScript) << "the mark-0 script went aside";
  EXPECT_NE(installed(image, "stat /CDINSTALL").find("Mode:  0600"), std::string::npos);
}

// The operator's key on the medium, everything served signed with it and
// listed in the root's release list: the list comes first, the drivers, the
// packages and the listed scripts go in, and the new system records the
// release.
TEST_F(NetworkInstallation, WithAPackageKeyTheListedReleaseGoesInScriptsIncluded) {
  std::string keyId = signEverything(/*releaseNumber=*/3);
  start();
  ASSERT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted) << sandbox.console().output();
  std::string expected = linesToTheStart(/*verified=*/true);
  expected.insert(linesToTheDrivers().size(), "Release 3 of Korvanel, signed with key " + keyId + "\n");
  EXPECT_EQ(output(), expected + "Writing configuration...\nWriting configuration...\n"
                                 "Checking disk integrity...\n\nSoftware installed.\n" + kPrompt +
                          kRebooting);
  EXPECT_NE(run->log().find("release 3 of Korvanel, 6 files"), std::string::npos) << run->log();
  EXPECT_EQ(installed(image, "cat /autorun.scr"), kAutorun);
  EXPECT_EQ(installed(image, "cat /var/pdb/.release"), "release: 3\n");
  EXPECT_EQ(readFile(sandbox.rootPath("/empty")), kHeldScript);
}

// A lab's list gives autorun.scr to one machine: the machine of that
// address (its card's, in either case) takes it; for any other machine the
// entry is not there, and the script is refused as unlisted.
TEST_F(NetworkInstallation, WithAPackageKeyAMachineTakesItsOwnEntryAndNoOtherMachines) {
  (void)signEverything(/*releaseNumber=*/3, /*keyOnMedium=*/true,
                       upper(machine->macAddress("eth0")));
  start({"--state", scratch / "state"});
  ASSERT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted) << sandbox.console().output();
  EXPECT_NE(output().find("\nSoftware installed.\n"), std::string::npos) << output();
  EXPECT_EQ(installed(image, "cat /autorun.scr"), kAutorun);
}

// A server that starts with a sound list and is then handed one that gives
// the script to another machine (a server of ours refuses to start with
// such a list): the installer refuses the script as unlisted.
TEST_F(NetworkInstallation, WithAPackageKeyAnotherMachinesEntryIsNotListed) {
  (void)signEverything(/*releaseNumber=*/3, /*keyOnMedium=*/true,
                       upper(machine->macAddress("eth0")));
  run = std::make_unique<ServerRun>(*server, "srv0", root,
                                    std::vector<std::string>{"--state", scratch / "state"},
                                    scratch / "log");
  ASSERT_TRUE(run->waitForLog(" serving ", 10)) << run->log();
  // The same length, so that the list's size stays the one the server read.
  std::string other = std::regex_replace(releaseCommand, std::regex(" --machine \\S+ "),
                                         " --machine 02:00:00:00:00:99 ");
  ASSERT_NE(other, releaseCommand);
  int status = -1;
  shell(other, &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(sandbox.start());
  EXPECT_NE(failedRun().find("\nFATAL ERROR: autorun.scr is not in release 3\n"),
            std::string::npos)
      << output();
  EXPECT_EQ(installed(image, "cat /autorun.scr"), "");
}

// The same signed root without its release list: refused at the drivers,
// before anything of the disk changes.
TEST_F(NetworkInstallation, WithAPackageKeyARootWithoutReleaseListIsRefused) {
  (void)signEverything(/*releaseNumber=*/0);
  start();
  EXPECT_EQ(failedRun(), linesToTheDrivers() + "\nFATAL ERROR: the server sent " + kernelRelease() +
                             ".bdl first, not its release list (release.lst): the package key of "
                             "this medium asks for one\n" + kPrompt);
}

// A medium without a key follows no release: the list the server sends
// first is received and set aside, and everything installs as before.
TEST_F(NetworkInstallation, WithoutAKeyAServedReleaseListIsSetAside) {
  (void)signEverything(/*releaseNumber=*/3, /*keyOnMedium=*/false);
  start();
  ASSERT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted) << sandbox.console().output();
  EXPECT_EQ(output(), linesToTheStart() + "Writing configuration...\nWriting configuration...\n"
                                          "Checking disk integrity...\n\nSoftware installed.\n" +
                          kPrompt + kRebooting);
  EXPECT_EQ(installed(image, "cat /var/pdb/.release"), "");
  EXPECT_EQ(installed(image, "cat /release.lst"), "");
}

TEST_F(NetworkInstallation, NoDriversForThisKernelEndTheRunBeforeTheDisk) {
  std::filesystem::remove_all(root + "/drivers");
  start();
  EXPECT_EQ(failedRun(), linesToTheDrivers() +
                             "\nFATAL ERROR: could not retrieve disk drivers\n" + kPrompt);
}

// The server stops answering "STRT" (its tree has lost its packages after
// the offer): the disk is prepared, nothing is installed.
TEST_F(NetworkInstallation, ServerThatDoesNotConfirmTheStartRefusesToInstall) {
  start();
  ASSERT_TRUE(run->waitForLog("took the offer", kTimeout)) << sandbox.console().output();
  std::filesystem::rename(root + "/packages", root + "/withdrawn");
  EXPECT_EQ(failedRun(), linesToTheStart() + "\nFATAL ERROR: server refused to install\n" + kPrompt);
}

// The server dies while a package is on its way: the run ends without
// pretending it was installed.
TEST_F(NetworkInstallation, ServerLostInsideAPackageIsABadConnection) {
  writeWholeFile(scratch / "big/usr/share/big", patternData(4 * 1024 * 1024, 3));
  ASSERT_TRUE(pack(scratch / "big", root + "/packages/big.bdl", "big"));
  start({"--block-size", "256"});
  ASSERT_TRUE(run->waitForLog("sending big.bdl", kTimeout)) << sandbox.console().output();
  run->stop(SIGKILL);
  std::string shown = failedRun();
  std::string expected = linesToTheStart() + "\nFATAL ERROR: bad network connection\n";
  EXPECT_EQ(shown.substr(0, expected.size()), expected);
  // Then the package child's own word on the cut stream, and the prompt.
  EXPECT_NE(shown.find("\ninstall: ", expected.size() - 1), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.size() - strlen(kPrompt)), kPrompt);
  EXPECT_EQ(installed(image, "stat /CDINSTALL"), "");
}

}  // namespace
