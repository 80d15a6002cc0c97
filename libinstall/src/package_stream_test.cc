#include "package_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "package_builder.h"
#include "root_lookup.h"
#include "package_database.h"
#include "tree_compare.h"

namespace libinstall {
namespace {

using package_testing::buildPackage;
using package_testing::metadataNamed;
using package_testing::readFile;
using package_testing::TempDir;
using package_testing::TestMember;

// A root beside an "outside" directory that must stay untouched.
struct Sandbox {
  TempDir tmp;
  std::string root = tmp / "root";
  std::string outside = tmp / "outside";
  Sandbox() {
    mkdir(root.c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    package_testing::writeFile(outside + "/secret", "secret");
    RootDir r(package_testing::lookupUnderTest());
    std::string error;
    if (!r.open(root, &error) || !prepareDatabase(r, &error)) ADD_FAILURE() << error;
  }
  bool install(const std::string& bytes, PackageMetadata* metadata, std::string* error) {
    RootDir r(package_testing::lookupUnderTest());
    if (!r.open(root, error)) return false;
    std::istringstream in(bytes);
    return installPackageStream(in, r, StreamInstallOptions{}, metadata, error);
  }
};

TEST(PackageStream, InstallsMembersAndRecordsThePackage) {
  Sandbox box;
  std::string bytes = buildPackage(
      metadataNamed("ppp", {"system"}),
      {TestMember::directory("etc"), TestMember::file("etc/ppp.conf", "lcp\n"),
       TestMember::file("odd\nname", ""), TestMember::symlink("etc/link", "ppp.conf"),
       TestMember::directory("./")});
  PackageMetadata metadata;
  std::string error;
  ASSERT_TRUE(box.install(bytes, &metadata, &error)) << error;
  EXPECT_EQ(metadata.name, "ppp");
  EXPECT_EQ(readFile(box.root + "/etc/ppp.conf"), "lcp\n");
  EXPECT_EQ(readFile(box.root + "/var/pdb/ppp"),
            "format: 1\nname: ppp\nversion: 1.0\ndescription: test package ppp\n"
            "depends: system\nfiles:\n/etc/\n/etc/ppp.conf\n/odd\\nname\n/etc/link\n");
  EXPECT_EQ(package_testing::snapshotTree(box.root + "/var/pdb").size(), 1u) << "no leftovers";
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

struct Hostile {
  const char* what;
  std::vector<TestMember> members;
};

TEST(PackageStream, HostilePackagesFailAndWriteNothingOutsideTheRoot) {
  const std::vector<Hostile> cases = {
      {"absolute path", {TestMember::file("/tmp/pwned", "x")}},
      {"dot-dot", {TestMember::file("a/../../outside/pwned", "x")}},
      {"symlink out, then through it",
       {TestMember::symlink("evil", "../outside"), TestMember::file("evil/pwned", "x")}},
      {"symlink up many levels",
       {TestMember::symlink("evil", "../../../../../../../../.."),
        TestMember::file("evil/tmp/pwned", "x")}},
      {"hard link out", {TestMember::hardLink("stolen", "../outside/secret")}},
      {"hard link through a symlink",
       {TestMember::symlink("up", ".."), TestMember::hardLink("stolen", "up/outside/secret")}},
      {"directory through a symlink",
       {TestMember::symlink("evil", "../outside"), TestMember::directory("evil/sub")}},
      // Extended headers carry paths by length, so they can hold NUL bytes:
      // "..\0" must not pass for a name and then be opened as "..".
      {"NUL byte in a long path",
       {TestMember::file(std::string("..\0/outside/", 12) + std::string(100, 'p'), "x")}},
      {"NUL byte in a long hard link target",
       {TestMember::hardLink("stolen", std::string("..\0/outside/", 12) + repeated("./", 60) +
                                           "secret")}},
      {"NUL byte in a long symbolic link target",
       {TestMember::symlink("up", std::string("..\0", 3) + std::string(120, 'x'))}},
      // It was installed as the file /.bdlinfo.
      {"second metadata member", {TestMember::file(".bdlinfo", "format: 1\nname: other\n")}},
  };
  for (const Hostile& c : cases) {
    Sandbox box;
    auto before = package_testing::snapshotTree(box.outside);
    PackageMetadata metadata;
    std::string error;
    EXPECT_FALSE(box.install(buildPackage(metadataNamed("evil"), c.members), &metadata, &error))
        << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_EQ(package_testing::describeDifferences(before,
                                                   package_testing::snapshotTree(box.outside)),
              "")
        << c.what;
    EXPECT_EQ(access((box.root + "/var/pdb/evil").c_str(), F_OK), -1) << c.what;
  }
}

TEST(PackageStream, DamagedStreamsFailAndAreNotRecorded) {
  std::string good = buildPackage(metadataNamed("data"),
                                  {TestMember::file("blob", std::string(200000, 'z'))});
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x01;
  std::vector<std::pair<const char*, std::string>> cases = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"cut in the trailer", good.substr(0, good.size() - 3)},
      {"one flipped byte", flipped},
      {"empty", ""},
      {"not gzip", "just some text that is no package"},
      {"no metadata member",
       package_testing::gzipBytes(package_testing::buildArchive("", {TestMember::file("a", "b")}))},
  };
  for (const auto& c : cases) {
    Sandbox box;
    PackageMetadata metadata;
    std::string error;
    EXPECT_FALSE(box.install(c.second, &metadata, &error)) << c.first;
    EXPECT_EQ(access((box.root + "/var/pdb/data").c_str(), F_OK), -1) << c.first;
  }
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// The record's commit changed the mode of whatever a link at its temporary
// name led to, and a hard link left at another package's temporary name made
// that package's record overwrite the linked file.
TEST(PackageStream, TheDatabaseTakesNoMembersAndOpensNothingItDidNotMake) {
  Sandbox box;
  const std::string shadow = box.root + "/etc/shadow";
  mkdir((box.root + "/etc").c_str(), 0755);
  package_testing::writeFile(shadow, "secret");
  chmod(shadow.c_str(), 0600);
  const std::vector<std::vector<TestMember>> hostile = {
      {TestMember::symlink("var/pdb/.evil.partial", "../../etc/shadow")},
      {TestMember::symlink("db", "var/pdb"),
       TestMember::hardLink("db/.other.partial", "etc/shadow")},
  };
  for (const auto& members : hostile) {
    PackageMetadata metadata;
    std::string error;
    EXPECT_FALSE(box.install(buildPackage(metadataNamed("evil"), members), &metadata, &error));
    EXPECT_NE(error.find("package database"), std::string::npos) << error;
  }
  EXPECT_EQ(modeOf(shadow), 0600u);

  ASSERT_EQ(link(shadow.c_str(), (box.root + "/var/pdb/.other.partial").c_str()), 0);
  PackageMetadata metadata;
  std::string error;
  ASSERT_TRUE(box.install(buildPackage(metadataNamed("other"), {TestMember::file("o", "o")}),
                          &metadata, &error))
      << error;
  EXPECT_EQ(readFile(shadow), "secret");
  EXPECT_EQ(modeOf(shadow), 0600u);
  EXPECT_EQ(readFile(box.root + "/var/pdb/other").substr(0, 22), "format: 1\nname: other\n");
}

// Bytes after the end marker were dropped unread, and members after a lone
// zero block were never installed, yet the package succeeded.
TEST(PackageStream, NothingButZerosMayFollowTheEndMarker) {
  const std::string head = formatMetadata(metadataNamed("data"));
  const std::string archive = package_testing::buildArchive(head, {TestMember::file("a", "a")});
  const std::string loneZeroBlock = archive.substr(0, archive.size() - kBlockSize);
  const std::vector<std::pair<std::string, bool>> cases = {
      {archive + std::string(10 * kBlockSize, '\0'), true},
      {archive + "junk", false},
      {loneZeroBlock + package_testing::buildArchive("", {TestMember::file("b", "b")}), false},
  };
  for (const auto& c : cases) {
    Sandbox box;
    PackageMetadata metadata;
    std::string error;
    EXPECT_EQ(box.install(package_testing::gzipBytes(c.first), &metadata, &error), c.second)
        << error;
    EXPECT_EQ(access((box.root + "/b").c_str(), F_OK), -1);
  }
}

// A name holding terminal control sequences reached the console as it was.
TEST(PackageStream, RefusalsShowNamesEscapedOnOneLine) {
  Sandbox box;
  PackageMetadata metadata;
  std::string error;
  EXPECT_FALSE(box.install(buildPackage(metadataNamed("evil"),
                                        {TestMember::file("\033[2J\n\\/../x", "x")}),
                           &metadata, &error));
  EXPECT_EQ(error, "member \"\\033[2J\\012\\\\/../x\": path with \"..\" refused");
}

}  // namespace
}  // namespace libinstall
