// The package installer child as the installation flows use it: started with
// startPackageInstaller, fed in blocks of 4096 bytes, ended with
// finishCommand. The whole binary runs inside the test sandbox: the child
// changes its root, and with a null root installs into the sandbox's "/".
#include "packages/package_installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "disk/command_runner.h"
#include "package_builder.h"
#include "output_capture.h"
#include "packages/package_fixtures.h"
#include "packages/package_key_file.h"
#include "tree_compare.h"

// Children of this binary end inside a changed root without /proc, where the
// leak checker cannot run (it would fail their exit). The code they run is
// leak-checked by the package library's and the packages' unit tests.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {

using package_testing::buildPackage;
using package_testing::metadataNamed;
using package_testing::readFile;
using package_testing::snapshotTree;
using package_testing::TestMember;
using package_testing::writeFile;

constexpr size_t kFeedBlock = 4096;
constexpr int kRefused = kPackageRefused << 8;  // raw wait status of exit code 1

// True inside the sandbox only: process 1 is the sandbox's inner script.
bool inSandbox() {
  return getenv("KORVANEL_SCRATCH") != nullptr &&
         readFile("/proc/1/cmdline").find("sandbox-inner") != std::string::npos;
}

// Feeds `bytes` the way the flows do: blocks of at most 4096 bytes, each one
// write of one item. False when a write failed (the child stopped reading).
bool feed(FILE* stream, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size(); at += kFeedBlock) {
    size_t n = std::min(kFeedBlock, bytes.size() - at);
    if (fwrite(bytes.data() + at, n, 1, stream) != 1) return false;
  }
  return true;
}

// Installs `bytes` through a child into `root`; the raw wait status.
int install(const char* root, const std::string& bytes, bool runningSystem = false) {
  FILE* stream = startPackageInstaller(root, runningSystem);
  if (stream == nullptr) return -2;
  (void)feed(stream, bytes);  // a failed write shows in the status too
  return finishCommand(stream);
}

class InstallerChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "runs only inside the test sandbox";
    signal(SIGPIPE, SIG_IGN);  // as the installation process has it
    std::string pattern = std::string(getenv("KORVANEL_SCRATCH")) + "/child.XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    base_ = pattern;
  }
  void TearDown() override {
    if (!base_.empty()) package_testing::removeTree(base_);
  }
  // A new empty directory below this test's scratch area.
  std::string dir(const std::string& name) {
    std::string path = base_ + "/" + name;
    mkdir(path.c_str(), 0755);
    return path;
  }

  std::string base_;
};

// A tree with every kind of entry and attribute a package carries.
void makeRichTree(const std::string& t) {
  auto file = [&](const std::string& path, const std::string& content, mode_t mode, uid_t uid,
                  gid_t gid, long nsec) {
    writeFile(t + "/" + path, content);
    chown((t + "/" + path).c_str(), uid, gid);
    chmod((t + "/" + path).c_str(), mode);
    timespec times[2] = {{1650000000, 0}, {1650000000 + nsec, nsec * 7 % 1000000000}};
    utimensat(AT_FDCWD, (t + "/" + path).c_str(), times, 0);
  };
  for (const char* d : {"bin", "etc", "etc/ppp", "var", "usr", "usr/share", "usr/share/doc",
                        "readonly", "shared", "empty"}) {
    mkdir((t + "/" + d).c_str(), 0755);
  }
  std::mt19937 random(42);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  file("bin/busybox", noise, 04755, 0, 0, 1);
  file("etc/ppp/secrets", "user * pass\n", 0600, 0, 0, 2);
  file("etc/motd", "", 0644, 1234, 5678, 3);
  file("usr/share/doc/" + std::string(150, 'n'), "long name", 0644, 0, 0, 4);
  file("usr/share/doc/with blanks & quotes'", "odd name", 0444, 7, 8, 5);
  file("readonly/inside", "x", 0640, 0, 0, 6);
  symlink("busybox", (t + "/bin/sh").c_str());
  symlink("/etc/motd", (t + "/etc/issue").c_str());
  symlink("../nowhere", (t + "/etc/dangling").c_str());
  lchown((t + "/bin/sh").c_str(), 1234, 5678);
  link((t + "/bin/busybox").c_str(), (t + "/bin/ls").c_str());
  link((t + "/bin/busybox").c_str(), (t + "/usr/share/cat").c_str());
  chmod((t + "/readonly").c_str(), 0555);
  chmod((t + "/shared").c_str(), 01777);
  chown((t + "/etc/ppp").c_str(), 0, 30);
  chmod((t + "/etc/ppp").c_str(), 0750);
  // Times last, deepest first, as a packer would find them.
  for (const char* d : {"usr/share/doc", "usr/share", "readonly", "etc/ppp", "etc", "bin",
                        "shared", "empty", "usr", "var"}) {
    timespec times[2] = {{1600000000, 0}, {1600000000, 123456789}};
    utimensat(AT_FDCWD, (t + "/" + d).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  timespec linkTimes[2] = {{1500000000, 0}, {1500000000, 5}};
  utimensat(AT_FDCWD, (t + "/etc/issue").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW);
}

std::string pack(const std::string& tree, const std::string& out, const std::string& name) {
  std::string command = bdlTool() + " pack --name " + name + " --version 3.1 '" + tree + "' '" +
                        out + "'";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  return readFile(out);
}

// The paths a database record lists.
std::set<std::string> recordedFiles(const std::string& record) {
  std::set<std::string> files;
  std::istringstream lines(record);
  std::string line;
  bool inList = false;
  while (std::getline(lines, line)) {
    if (inList) files.insert(line);
    if (line == "files:") inList = true;
  }
  return files;
}

TEST_F(InstallerChild, PackedTreeComesBackIdenticalAndIsRecorded) {
  std::string tree = dir("tree");
  makeRichTree(tree);
  std::string bytes = pack(tree, base_ + "/rich.bdl", "rich");
  ASSERT_GT(bytes.size(), 1000000u) << "the random megabyte does not compress";
  std::string root = dir("root");

  EXPECT_EQ(install(root.c_str(), bytes), 0);

  auto expected = snapshotTree(tree);
  auto installed = snapshotTree(root);
  // The package database is the one thing the package did not bring.
  ASSERT_EQ(installed.count("var/pdb/rich"), 1u);
  installed.erase("var/pdb");
  installed.erase("var/pdb/rich");
  EXPECT_EQ(package_testing::describeDifferences(expected, installed), "");

  std::set<std::string> listed = recordedFiles(readFile(root + "/var/pdb/rich"));
  std::set<std::string> want;
  for (const auto& [path, entry] : expected) want.insert("/" + path + (entry.type == 'd' ? "/" : ""));
  EXPECT_EQ(listed, want);
  EXPECT_EQ(readFile(root + "/var/pdb/rich").rfind("format: 1\nname: rich\nversion: 3.1\n", 0), 0u);
  EXPECT_EQ(activeChildPid, -1);
}

TEST_F(InstallerChild, HostilePackagesWriteNothingOutsideTheRootAndFail) {
  std::string tree = dir("src");
  std::mt19937 random(1);
  std::string noise(20000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeFile(tree + "/data", noise);
  std::string good = pack(tree, base_ + "/good.bdl", "good");
  ASSERT_LT(good.size(), 60000u) << "stays within the pipe: every write succeeds";
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"absolute path",
       buildPackage(metadataNamed("evil"), {TestMember::file("/outside/pwned", "x")})},
      {"dot-dot", buildPackage(metadataNamed("evil"), {TestMember::file("../outside/pwned", "x")})},
      {"symbolic link out of the root",
       buildPackage(metadataNamed("evil"), {TestMember::symlink("door", "../../outside"),
                                            TestMember::file("door/pwned", "x")})},
      {"hard link out of the root",
       buildPackage(metadataNamed("evil"), {TestMember::symlink("up", ".."),
                                            TestMember::hardLink("stolen", "up/outside/secret")})},
      {"truncated", good.substr(0, good.size() / 2)},
      {"one corrupted byte", flipped},
  };
  for (const auto& [what, bytes] : cases) {
    std::string area = dir("case");
    std::string root = area + "/root";
    std::string outside = area + "/outside";
    mkdir(root.c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    writeFile(outside + "/secret", "secret");
    auto before = snapshotTree(area);
    before.erase("root");

    EXPECT_EQ(install(root.c_str(), bytes), kRefused) << what;

    auto after = snapshotTree(area);
    for (auto it = after.begin(); it != after.end();) {
      it = it->first.rfind("root", 0) == 0 ? after.erase(it) : std::next(it);
    }
    EXPECT_EQ(package_testing::describeDifferences(before, after), "") << what;
    EXPECT_EQ(readFile(outside + "/secret"), "secret") << what;
    EXPECT_EQ(access((root + "/var/pdb/evil").c_str(), F_OK), -1) << what;
    EXPECT_EQ(access((root + "/var/pdb/good").c_str(), F_OK), -1) << what;
    package_testing::removeTree(area);
  }
}

TEST_F(InstallerChild, AChildThatStopsReadingFailsTheWritesAndStillReportsFailure) {
  // The unsafe member comes first; megabytes follow that nobody reads.
  std::string bytes = buildPackage(
      metadataNamed("big"),
      {TestMember::file("/abs", "x"), TestMember::file("filler", std::string(8 << 20, 'f'))});
  std::string root = dir("root");
  FILE* stream = startPackageInstaller(root.c_str(), false);
  ASSERT_NE(stream, nullptr);
  std::string random(4 << 20, '\0');
  std::mt19937 gen(3);
  for (char& c : random) c = static_cast<char>(gen());
  // Compressed filler is small; follow it with data that keeps the pipe full.
  EXPECT_FALSE(feed(stream, bytes + random)) << "the caller sees the failure in its writes";
  int status = finishCommand(stream);
  EXPECT_NE(status, 0);
  EXPECT_EQ(activeChildPid, -1);
}

TEST_F(InstallerChild, OneChildAtATimeAndEmptyStreamsFail) {
  std::string root = dir("root");
  FILE* first = startPackageInstaller(root.c_str(), false);
  ASSERT_NE(first, nullptr);
  pid_t child = activeChildPid;
  EXPECT_EQ(startPackageInstaller(root.c_str(), false), nullptr);
  EXPECT_EQ(activeChildPid, child) << "the busy slot is left alone";
  // Nothing written: the library gets an empty stream, which is no package.
  EXPECT_EQ(finishCommand(first), kRefused);
  EXPECT_EQ(activeChildPid, -1);

  std::string next = buildPackage(metadataNamed("next"), {TestMember::file("f", "1")});
  EXPECT_EQ(install(root.c_str(), next), 0);
  EXPECT_EQ(readFile(root + "/f"), "1");
}

TEST_F(InstallerChild, LaterPackagesReplaceFilesOfEarlierOnesAndBothAreRecorded) {
  std::string root = dir("root");
  EXPECT_EQ(install(root.c_str(), buildPackage(metadataNamed("one"),
                                               {TestMember::file("etc/conf", "one")})),
            0);
  EXPECT_EQ(install(root.c_str(), buildPackage(metadataNamed("two", {"one"}),
                                               {TestMember::file("etc/conf", "two")})),
            0);
  EXPECT_EQ(readFile(root + "/etc/conf"), "two");
  EXPECT_NE(readFile(root + "/var/pdb/one").find("/etc/conf\n"), std::string::npos);
  EXPECT_NE(readFile(root + "/var/pdb/two").find("depends: one\n"), std::string::npos);
}

// Where each open descriptor of `pid` leads ("pipe:[123]", "/dev/null"...).
std::map<int, std::string> openDescriptors(pid_t pid) {
  std::map<int, std::string> fds;
  std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = opendir(dirPath.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[256] = {};
      (void)!readlink((dirPath + "/" + e->d_name).c_str(), target, sizeof target - 1);
      fds[atoi(e->d_name)] = target;
    }
    closedir(d);
  }
  return fds;
}

void handler(int) {}

TEST_F(InstallerChild, ChildHasOnlyThePipeAndTheConsoleAndDefaultInterruptHandling) {
  std::string root = dir("root");
  struct sigaction action {};
  action.sa_handler = handler;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  std::vector<int> extra;
  for (int i = 0; i < 5; ++i) extra.push_back(open("/dev/null", O_RDONLY));  // no close-on-exec

  FILE* stream = startPackageInstaller(root.c_str(), false);
  ASSERT_NE(stream, nullptr);
  pid_t child = activeChildPid;
  // Wait (bounded) until the child has closed what it inherited; the library
  // may open files of its own meanwhile.
  auto leaked = [](const std::map<int, std::string>& fds) {
    std::vector<int> found;
    for (const auto& [fd, target] : fds) {
      bool pipeEnd = fd != 0 && target == fds.at(0);  // the write end shares the inode
      if (fd > 2 && fd <= 15 && (target == "/dev/null" || pipeEnd)) found.push_back(fd);
    }
    return found;
  };
  std::map<int, std::string> fds;
  for (int i = 0; i < 500; ++i) {
    fds = openDescriptors(child);
    // The child first puts the pipe on 0, then closes what it inherited.
    if (fds.count(0) && fds[0].rfind("pipe:", 0) == 0 && leaked(fds).empty()) break;
    usleep(10000);
  }
  ASSERT_EQ(fds.count(0), 1u);
  EXPECT_EQ(fds[0].rfind("pipe:", 0), 0u) << fds[0];
  EXPECT_EQ(leaked(fds), std::vector<int>{}) << "inherited files and the pipe's write end";
  EXPECT_EQ(fds[1], openDescriptors(getpid())[1]) << "the console stays";
  EXPECT_EQ(fds[2], openDescriptors(getpid())[2]);
  // SIGINT takes the child down by default: it never runs the abort path.
  kill(child, SIGINT);
  int status = finishCommand(stream);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;

  for (int fd : extra) close(fd);
  signal(SIGINT, SIG_DFL);
  signal(SIGALRM, SIG_DFL);
}

TEST_F(InstallerChild, ARootThatCannotBeEnteredInstallsNothingAnywhere) {
  std::string bytes = buildPackage(metadataNamed("lost"), {TestMember::file("mnt/lost-file", "x")});
  EXPECT_EQ(install("/nonexistent/root", bytes), kPackageNoRoot << 8);
  EXPECT_EQ(access("/mnt/lost-file", F_OK), -1) << "not installed into the installer's root";
}

// The key is read as the installation process reads it; the child takes only
// packages signed with it. The test leaves the process without a key file,
// so the children of later tests take unsigned packages again.
TEST_F(InstallerChild, WithAPackageKeyOnlyPackagesSignedWithItAreInstalled) {
  libinstall::SecretKey key, other;
  ASSERT_TRUE(key.generate() && other.generate());
  std::string keyFile = base_ + "/package-key.pub";
  writeFile(keyFile, key.publicKey().text());
  ASSERT_EQ(loadPackageKey(keyFile.c_str()), PackageTrust::Verified);
  std::string plain = buildPackage(metadataNamed("good"), {TestMember::file("good", "1")});
  std::string root = dir("root");
  std::string said = captureStderr([&] {
    EXPECT_EQ(install(root.c_str(), package_testing::signedPackage(plain, other)), kRefused);
    EXPECT_EQ(install(root.c_str(), plain), kRefused);
  });
  EXPECT_EQ(said, "install: package: signed with key " + other.publicKey().id() +
                      ", not with the required key " + key.publicKey().id() +
                      "\ninstall: package: package not signed (only packages signed with key " +
                      key.publicKey().id() + " are accepted)\n");
  EXPECT_EQ(snapshotTree(root).count("good"), 0u);
  EXPECT_EQ(install(root.c_str(), package_testing::signedPackage(plain, key)), 0);
  EXPECT_EQ(readFile(root + "/good"), "1");

  writeFile(keyFile, "format: bdl-public-key 1\nkey: 00\n");
  ASSERT_EQ(loadPackageKey(keyFile.c_str()), PackageTrust::BrokenKey);
  said = captureStderr([&] {
    EXPECT_EQ(install(dir("other").c_str(), package_testing::signedPackage(plain, key)), kRefused);
  });
  EXPECT_EQ(said, "install: no usable package key: " + keyFile +
                      ": not a public key file (bdl keygen writes them)\n");

  ASSERT_EQ(loadPackageKey((base_ + "/none.pub").c_str()), PackageTrust::Unverified);
  std::string note = captureStdout([&] {
    EXPECT_EQ(install(dir("third").c_str(), plain), 0);
    EXPECT_EQ(install(dir("fourth").c_str(), plain), 0);
  });
  EXPECT_EQ(note, "Packages are not verified: the boot medium carries no package key.\n");
}

TEST_F(InstallerChild, NullRootInstallsIntoTheRunningSystem) {
  // The sandbox's /var is the machine's, read-only: give this one a tmpfs so
  // the running system's database can be written (and thrown away).
  ASSERT_EQ(mount("tmpfs", "/var", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
  std::string bytes = buildPackage(metadataNamed("drivers"),
                                   {TestMember::file("mnt/running/module.ko", "module")});
  EXPECT_EQ(install(nullptr, bytes, /*runningSystem=*/true), 0);
  EXPECT_EQ(readFile("/mnt/running/module.ko"), "module");
  EXPECT_NE(readFile("/var/pdb/drivers").find("/mnt/running/module.ko\n"), std::string::npos);
  ASSERT_EQ(umount("/var"), 0);

  // Without a writable database the running system still gets the package.
  std::string more = buildPackage(metadataNamed("more"),
                                  {TestMember::file("mnt/running/more.ko", "more")});
  EXPECT_EQ(install(nullptr, more, /*runningSystem=*/true), 0);
  EXPECT_EQ(readFile("/mnt/running/more.ko"), "more");
  package_testing::removeTree("/mnt/running");
}

}  // namespace
