#include "root_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_lookup.h"
#include "member_path.h"
#include "package_builder.h"
#include "root_lookup.h"

namespace libinstall {
namespace {

using package_testing::TempDir;

std::vector<std::string> parts(const std::string& path) {
  std::vector<std::string> components;
  std::string reason;
  EXPECT_TRUE(splitMemberPath(path, &components, &reason)) << reason;
  return components;
}

// The directory that `path` resolves to, as an inode number (0: refused).
ino_t resolve(RootDir& root, const std::string& path, bool create, std::string* error) {
  std::vector<std::string> c = parts(path);
  int fd = root.openDirectory(c, c.size(), create, error);
  if (fd < 0) return 0;
  struct stat st;
  fstat(fd, &st);
  close(fd);
  return st.st_ino;
}

ino_t inodeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(MemberPath, SplitsSafePathsAndRefusesEscapes) {
  std::vector<std::string> c;
  std::string reason;
  ASSERT_TRUE(splitMemberPath("./usr//lib/./x/", &c, &reason));
  EXPECT_EQ(c, (std::vector<std::string>{"usr", "lib", "x"}));
  ASSERT_TRUE(splitMemberPath("./", &c, &reason));
  EXPECT_TRUE(c.empty()) << "the root itself";
  EXPECT_FALSE(splitMemberPath("/etc/passwd", &c, &reason));
  EXPECT_FALSE(splitMemberPath("a/../../etc", &c, &reason));
  EXPECT_FALSE(splitMemberPath("..", &c, &reason));
  EXPECT_FALSE(splitMemberPath("", &c, &reason));
  EXPECT_FALSE(splitMemberPath(std::string("..\0/etc", 7), &c, &reason)) << "read as \"..\"";
  EXPECT_FALSE(splitMemberPath(std::string("etc\0", 4), &c, &reason));
  EXPECT_FALSE(splitMemberPath(std::string(kMaxPathLength + 1, 'a'), &c, &reason));
  EXPECT_TRUE(splitMemberPath("a/..b/c..", &c, &reason)) << "dots inside names are names";
  EXPECT_EQ(joinedPath({"etc", "fstab"}), "/etc/fstab");
}

TEST(RootDir, LinksInsideTheRootAreFollowedAndAbsoluteOnesStartAtTheRoot) {
  TempDir tmp;
  std::string r = tmp / "root";
  mkdir(r.c_str(), 0755);
  mkdir((r + "/usr").c_str(), 0755);
  mkdir((r + "/usr/lib").c_str(), 0755);
  mkdir((tmp / "usr").c_str(), 0755);  // outside: an absolute link must not reach it
  symlink("usr/lib", (r + "/lib").c_str());
  symlink("/usr", (r + "/absolute").c_str());
  symlink("../lib", (r + "/usr/up").c_str());
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(r, &error)) << error;
  EXPECT_EQ(resolve(root, "lib", false, &error), inodeOf(r + "/usr/lib")) << error;
  EXPECT_EQ(resolve(root, "absolute/lib", false, &error), inodeOf(r + "/usr/lib")) << error;
  EXPECT_EQ(resolve(root, "usr/up", false, &error), inodeOf(r + "/usr/lib")) << error;
}

TEST(RootDir, LinksThatLeaveTheRootOrLoopAreRefused) {
  TempDir tmp;
  std::string r = tmp / "root";
  mkdir(r.c_str(), 0755);
  mkdir((tmp / "outside").c_str(), 0755);
  symlink("../outside", (r + "/escape").c_str());
  symlink("a/../../..", (r + "/deep").c_str());
  symlink("loop2", (r + "/loop1").c_str());
  symlink("loop1", (r + "/loop2").c_str());
  symlink("missing", (r + "/dangling").c_str());
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(r, &error)) << error;
  EXPECT_EQ(resolve(root, "escape/x", true, &error), 0u);
  EXPECT_NE(error.find("leads out of the root"), std::string::npos) << error;
  EXPECT_EQ(resolve(root, "deep", true, &error), 0u);
  EXPECT_EQ(resolve(root, "loop1", true, &error), 0u);
  EXPECT_NE(error.find("too many"), std::string::npos) << error;
  // Nothing was made outside on the way.
  EXPECT_EQ(rmdir((tmp / "outside").c_str()), 0) << "outside must still be empty";
  // A dangling link's target is made inside the root, where it points.
  ino_t made = resolve(root, "dangling", true, &error);
  EXPECT_NE(made, 0u) << error;
  EXPECT_EQ(made, inodeOf(r + "/missing"));
}

TEST(RootDir, MissingDirectoriesAreMade0755WhateverTheUmask) {
  TempDir tmp;
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(tmp.path(), &error));
  mode_t old = umask(077);
  ino_t made = resolve(root, "a/b/c", true, &error);
  umask(old);
  ASSERT_NE(made, 0u) << error;
  struct stat st;
  ASSERT_EQ(stat((tmp / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(resolve(root, "x/y", false, &error), 0u) << "no creation without create";
}

std::string deepPath(size_t levels) {
  std::string path = "d";
  for (size_t i = 1; i < levels; ++i) path += "/d";
  return path;
}

// A walk held a descriptor per level: 2040 levels ran out of them.
TEST(RootDir, WalksAreBoundedInDepth) {
  std::vector<std::string> c;
  std::string reason;
  EXPECT_TRUE(splitMemberPath(deepPath(kMaxDepth), &c, &reason)) << reason;
  EXPECT_FALSE(splitMemberPath(deepPath(kMaxDepth + 1), &c, &reason));
  EXPECT_NE(reason.find("deeper than"), std::string::npos) << reason;

  TempDir tmp;
  symlink(deepPath(100).c_str(), (tmp / "down").c_str());
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(tmp.path(), &error));
  EXPECT_NE(resolve(root, "down", true, &error), 0u) << error;
  EXPECT_EQ(resolve(root, "down/" + deepPath(kMaxDepth - 99), true, &error), 0u)
      << "a link leads deeper than the path says";
  EXPECT_NE(error.find("deeper than"), std::string::npos) << error;
}

// 40 chained links with long targets cost every member behind them
// thousands of steps: a 24 KB package took minutes.
TEST(RootDir, LinkTargetsAreBoundedInAllForOneWalk) {
  TempDir tmp;
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "./";
  mkdir((tmp / "d").c_str(), 0755);
  symlink((hundred + hundred + "d").c_str(), (tmp / "L1").c_str());
  symlink((hundred + "L1").c_str(), (tmp / "L2").c_str());
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(tmp.path(), &error));
  EXPECT_NE(resolve(root, "L1", false, &error), 0u) << error;
  EXPECT_EQ(resolve(root, "L2", false, &error), 0u) << "302 link target components in all";
  EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

// A link met again is not followed step by step: what it led to is
// remembered. The answers must stay those of a walk that remembers nothing,
// refusals included, whatever way the link is reached by.
TEST(RootDir, RememberedLinksGiveTheAnswersOfAFreshWalk) {
  TempDir tmp;
  std::string r = tmp / "root";
  mkdir(r.c_str(), 0755);
  mkdir((r + "/d1").c_str(), 0755);
  mkdir((r + "/d1/d2").c_str(), 0755);
  mkdir((r + "/d1/d2/d3").c_str(), 0755);
  symlink("d1/d2/d3", (r + "/A").c_str());  // three levels down
  symlink("A/..", (r + "/B").c_str());       // and one up again: d1/d2
  symlink("d1", (r + "/L1").c_str());
  for (int i = 2; i <= 30; ++i) {
    symlink(("L" + std::to_string(i - 1)).c_str(), (r + "/L" + std::to_string(i)).c_str());
  }
  symlink("L30", (r + "/M").c_str());  // 31 links
  symlink("M", (r + "/N1").c_str());
  for (int i = 2; i <= 10; ++i) {
    symlink(("N" + std::to_string(i - 1)).c_str(), (r + "/N" + std::to_string(i)).c_str());
  }
  struct Way {
    std::string path;
    std::string expected;  // a directory below the root, or the start of the error
  };
  const std::vector<Way> ways = {
      {"A", "d1/d2/d3"},   {"B", "d1/d2"},  {"A", "d1/d2/d3"},
      {"B", "d1/d2"},      {"L30", "d1"},   {"M/d2", "d1/d2"},
      {"N9/d2", "d1/d2"},  // 40 links
      {"N10", "too many symbolic links"},
      {"N10/d2", "too many symbolic links"},
      {"L30/d2/d3", "d1/d2/d3"},
  };
  RootDir root(package_testing::lookupUnderTest());
  std::string error;
  ASSERT_TRUE(root.open(r, &error)) << error;
  for (int round = 0; round < 2; ++round) {
    for (const Way& way : ways) {
      std::string wayError;
      ino_t found = resolve(root, way.path, false, &wayError);
      if (way.expected.find('/') != std::string::npos || way.expected[0] == 'd') {
        EXPECT_EQ(found, inodeOf(r + "/" + way.expected)) << way.path << ": " << wayError;
      } else {
        EXPECT_EQ(found, 0u) << way.path;
        EXPECT_EQ(wayError.find(way.expected), 0u) << way.path << ": " << wayError;
      }
    }
  }
}

// ctest runs these tests once with each lookup; say which one this run has.
TEST(RootDir, UsesTheLookupAskedForWhereTheKernelHasIt) {
  RootDir walked(RootDir::Lookup::walkOnly);
  EXPECT_FALSE(walked.usesKernelLookup());
  RootDir root(package_testing::lookupUnderTest());
  if (package_testing::lookupUnderTest() == RootDir::Lookup::walkOnly) return;
  if (!kernelLookupAvailable()) GTEST_SKIP() << "no openat2 here: every way is walked";
  EXPECT_TRUE(root.usesKernelLookup());
}

}  // namespace
}  // namespace libinstall
