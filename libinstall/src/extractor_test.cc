#include "extractor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "member_path.h"
#include "package_limits.h"
#include "package_builder.h"
#include "root_lookup.h"
#include "tree_compare.h"

namespace libinstall {
namespace {

using package_testing::buildArchive;
using package_testing::MemorySource;
using package_testing::readFile;
using package_testing::TempDir;
using package_testing::TestMember;

// Installs `members` into `rootPath` with a fresh extractor; returns the
// first error ("" when everything went in).
std::string extract(const std::string& rootPath, const std::vector<TestMember>& members,
                    ExtractOptions options = {}) {
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  if (!root.open(rootPath, &error)) return error;
  MemorySource source(buildArchive("", members));
  ArchiveReader reader(source);
  Extractor extractor(root, options);
  Member member;
  std::vector<std::string> components;
  while (reader.next(&member) == 1) {
    if (!splitMemberPath(member.path, &components, &error)) return error;
    if (!extractor.install(member, components, reader, &error)) return error;
  }
  if (!reader.error().empty()) return reader.error();
  return extractor.finish(&error) ? "" : error;
}

struct stat lstatOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

TEST(Extractor, FilesDirectoriesAndLinksKeepModesOwnersAndTimes) {
  TempDir tmp;
  TestMember setuid = TestMember::file("bin/ping", "ELF", 04755);
  setuid.member.uid = 0;
  setuid.member.gid = 0;
  TestMember owned = TestMember::file("home/user/notes", "hello", 0640);
  owned.member.uid = 1234;
  owned.member.gid = 5678;
  owned.member.mtimeNanoseconds = 987654321;
  TestMember readOnlyDir = TestMember::directory("ro", 0555);
  readOnlyDir.member.mtimeSeconds = 1000;
  TestMember link = TestMember::symlink("bin/sh", "busybox");
  link.member.uid = 1234;
  link.member.mtimeSeconds = 2000;
  ASSERT_EQ(extract(tmp.path(), {TestMember::directory("bin"), setuid, owned, readOnlyDir,
                                 TestMember::file("ro/inside", "x"), link,
                                 TestMember::hardLink("bin/ping2", "bin/ping")}),
            "");

  struct stat st = lstatOf(tmp / "bin/ping");
  EXPECT_EQ(st.st_mode & 07777, 04755u) << "set-id bits survive the owner change";
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(st.st_ino, lstatOf(tmp / "bin/ping2").st_ino);
  st = lstatOf(tmp / "home/user/notes");
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
  EXPECT_EQ(readFile(tmp / "home/user/notes"), "hello");
  st = lstatOf(tmp / "ro");
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000) << "applied after the file inside arrived";
  EXPECT_EQ(lstatOf(tmp / "home").st_mode & 07777, 0755u) << "implied directories";
  st = lstatOf(tmp / "bin/sh");
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_mtim.tv_sec, 2000);
  // No temporary names are left anywhere.
  for (const auto& entry : package_testing::snapshotTree(tmp.path())) {
    EXPECT_EQ(entry.first.find(".bdl-"), std::string::npos) << entry.first;
  }
}

// Most files get their mode as they are made; the others after their owner.
TEST(Extractor, FileModesAreExactWhateverTheUmask) {
  const std::vector<uint32_t> modes = {0644, 0755, 0600, 0777, 0000, 04755, 02711, 01777};
  for (mode_t mask : {022, 077, 0}) {
    TempDir tmp;
    std::vector<TestMember> members;
    for (uint32_t mode : modes) members.push_back(TestMember::file(std::to_string(mode), "m", mode));
    mode_t old = umask(mask);
    std::string error = extract(tmp.path(), members);
    umask(old);
    ASSERT_EQ(error, "");
    for (uint32_t mode : modes) {
      EXPECT_EQ(lstatOf(tmp / std::to_string(mode)).st_mode & 07777, mode)
          << "mode 0" << std::oct << mode << " under umask 0" << mask;
    }
  }
}

TEST(Extractor, ExistingFilesAreReplacedOnlyWhenAllowedAndLinksAreNeverWrittenThrough) {
  TempDir tmp;
  std::string r = tmp / "root";
  mkdir(r.c_str(), 0755);
  package_testing::writeFile(tmp / "precious", "keep");
  symlink((tmp / "precious").c_str(), (r + "/config").c_str());
  package_testing::writeFile(r + "/old", "old");

  ExtractOptions noReplace;
  noReplace.replaceFiles = false;
  EXPECT_NE(extract(r, {TestMember::file("old", "new")}, noReplace), "");
  EXPECT_EQ(readFile(r + "/old"), "old");

  ASSERT_EQ(extract(r, {TestMember::file("old", "new"), TestMember::file("config", "mine")}), "");
  EXPECT_EQ(readFile(r + "/old"), "new");
  EXPECT_EQ(readFile(r + "/config"), "mine") << "the link was replaced";
  EXPECT_EQ(readFile(tmp / "precious"), "keep") << "not written through";
}

TEST(Extractor, DirectoriesReplaceFilesButFilesNeverReplaceDirectories) {
  TempDir tmp;
  mkdir((tmp / "dir").c_str(), 0755);
  package_testing::writeFile(tmp / "dir/content", "c");
  package_testing::writeFile(tmp / "file", "f");
  EXPECT_NE(extract(tmp.path(), {TestMember::file("dir", "x")}), "");
  EXPECT_EQ(readFile(tmp / "dir/content"), "c");
  ASSERT_EQ(extract(tmp.path(), {TestMember::directory("file", 0700)}), "");
  EXPECT_TRUE(S_ISDIR(lstatOf(tmp / "file").st_mode));
}

TEST(Extractor, DirectoryLinksInsideTheRootAreKept) {
  TempDir tmp;
  mkdir((tmp / "usr").c_str(), 0755);
  mkdir((tmp / "usr/lib").c_str(), 0751);
  symlink("usr/lib", (tmp / "lib").c_str());
  ASSERT_EQ(extract(tmp.path(), {TestMember::directory("lib", 0700),
                                 TestMember::file("lib/libc.so", "so")}),
            "");
  EXPECT_TRUE(S_ISLNK(lstatOf(tmp / "lib").st_mode));
  EXPECT_EQ(readFile(tmp / "usr/lib/libc.so"), "so");
  EXPECT_EQ(lstatOf(tmp / "usr/lib").st_mode & 07777, 0751u) << "the target keeps its mode";
}

TEST(Extractor, HardLinksOnlyJoinRegularFilesInsideTheRoot) {
  TempDir tmp;
  std::string r = tmp / "root";
  mkdir(r.c_str(), 0755);
  package_testing::writeFile(tmp / "secret", "s");
  symlink("..", (r + "/up").c_str());
  mkdir((r + "/d").c_str(), 0755);
  EXPECT_NE(extract(r, {TestMember::hardLink("a", "../secret")}), "");
  EXPECT_NE(extract(r, {TestMember::hardLink("a", "/secret")}), "");
  EXPECT_NE(extract(r, {TestMember::hardLink("a", "up/secret")}), "");
  EXPECT_NE(extract(r, {TestMember::hardLink("a", "d")}), "");
  EXPECT_NE(extract(r, {TestMember::hardLink("a", "missing")}), "");
  EXPECT_EQ(lstatOf(tmp / "secret").st_nlink, 1u);
  EXPECT_EQ(access((r + "/a").c_str(), F_OK), -1);
  // Linking a name to the file it already is leaves nothing behind.
  ASSERT_EQ(extract(r, {TestMember::file("f", "x"), TestMember::hardLink("g", "f"),
                        TestMember::hardLink("g", "f")}),
            "");
  EXPECT_EQ(package_testing::snapshotTree(r).size(), 4u) << "up, d, f, g";
}

TEST(Extractor, AFileCutShortLeavesTheOldFileAndNoTemporary) {
  TempDir tmp;
  package_testing::writeFile(tmp / "big", "old contents");
  std::string archive = buildArchive("", {TestMember::file("big", std::string(5000, 'n'))});
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(tmp.path(), &error));
  MemorySource source(archive.substr(0, kBlockSize + 2000));
  ArchiveReader reader(source);
  Extractor extractor(root, ExtractOptions{});
  Member member;
  ASSERT_EQ(reader.next(&member), 1);
  EXPECT_FALSE(extractor.install(member, {"big"}, reader, &error));
  EXPECT_NE(error.find("truncated"), std::string::npos) << error;
  EXPECT_EQ(readFile(tmp / "big"), "old contents");
  EXPECT_EQ(package_testing::snapshotTree(tmp.path()).size(), 1u);
}

// Every directory member was kept with its whole path until the end: one
// deep directory given 50,000 times took 1.67 GB.
TEST(Extractor, DirectoriesAreRememberedOnceAndWithinALimit) {
  TempDir tmp;
  std::string deep;
  for (char c = 'a'; c < 'm'; ++c) deep += std::string(250, c) + "/";
  size_t beyond = kMaxDirectoryMemory / (deep.size() + kDirectoryEntryCost) + 1;
  std::vector<TestMember> again(beyond, TestMember::directory(deep + "again"));
  EXPECT_EQ(extract(tmp.path(), again), "") << "one directory given again and again";
  std::vector<TestMember> distinct;
  for (size_t i = 0; i < beyond; ++i) distinct.push_back(TestMember::directory(deep + std::to_string(i)));
  EXPECT_NE(extract(tmp.path(), distinct).find("too many directories"), std::string::npos);
}

// d/l leads to d itself, so the member d/l/l replaces the very link the
// remembered walk to d/l went through; the file after it still landed in d
// instead of d/sub, where d/l leads now.
TEST(Extractor, AReplacedLinkIsWalkedAgainNotRemembered) {
  TempDir tmp;
  ASSERT_EQ(extract(tmp.path(), {TestMember::directory("d"), TestMember::directory("d/sub"),
                                 TestMember::symlink("d/l", "."), TestMember::file("d/l/first", "1"),
                                 TestMember::symlink("d/l/l", "sub"),
                                 TestMember::file("d/l/second", "2")}),
            "");
  EXPECT_EQ(readFile(tmp / "d/first"), "1");
  EXPECT_EQ(readFile(tmp / "d/sub/second"), "2");
  EXPECT_EQ(access((tmp / "d/second").c_str(), F_OK), -1);
}

// Directories of recent members are remembered, several at a time: a way
// that took a link must be forgotten when any link is replaced, also one in
// another directory than the member's, and also while other directories
// were used in between.
TEST(Extractor, RememberedWaysThroughLinksAreForgottenWhenAnyLinkIsReplaced) {
  TempDir tmp;
  std::vector<TestMember> members = {TestMember::directory("d"), TestMember::directory("e"),
                                     TestMember::symlink("a", "d"), TestMember::file("a/1", "1"),
                                     TestMember::file("e/x", "x"), TestMember::symlink("a", "e"),
                                     TestMember::file("e/y", "y"), TestMember::file("a/2", "2")};
  // More directories than are remembered, visited in turn twice.
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < RememberedDirectories::kMaxRemembered + 4; ++i) {
      std::string n = std::to_string(i);
      members.push_back(TestMember::file("many/" + n + "/" + std::to_string(round), n));
    }
  }
  size_t descriptors = package_testing::snapshotTree("/proc/self/fd").size();
  ASSERT_EQ(extract(tmp.path(), members), "");
  EXPECT_EQ(package_testing::snapshotTree("/proc/self/fd").size(), descriptors)
      << "every remembered directory closed with its root";
  EXPECT_EQ(readFile(tmp / "d/1"), "1");
  EXPECT_EQ(readFile(tmp / "e/2"), "2") << "a leads to e now";
  EXPECT_EQ(access((tmp / "d/2").c_str(), F_OK), -1);
  for (size_t i = 0; i < RememberedDirectories::kMaxRemembered + 4; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(readFile(tmp / ("many/" + n + "/0")), n);
    EXPECT_EQ(readFile(tmp / ("many/" + n + "/1")), n);
  }
}

}  // namespace
}  // namespace libinstall
