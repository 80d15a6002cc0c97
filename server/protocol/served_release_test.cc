// A server root against its release list, as the server checks it at start:
// every served file listed with its size and digest, every listed file there.
#include "server/protocol/served_release.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "package_builder.h"
#include "server/protocol/server_test_tree.h"

namespace {

const std::string kBdl = KORVANEL_BINARY_DIR "/bin/bdl";

int bdl(const std::string& arguments) {
  int status = system((kBdl + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ServedReleaseTest, TheRootMustMatchItsList) {
  package_testing::TempDir keys;
  ASSERT_EQ(bdl("keygen " + (keys / "key")), 0);
  struct Case {
    const char* what;
    const char* change;  // after the list was made: "-PATH" removed, "+NAME" a new package,
                         // "PATH" rewritten
    const char* error;   // null: the server starts
  };
  const Case cases[] = {
      {"matching", "", nullptr},
      {"a script changed", "scripts/site.scr", "scripts/site.scr does not match release 4"},
      {"a package not listed", "+extra", "packages/extra.bdl is not in release 4"},
      {"a listed package removed", "-packages/dhcp.bdl", "package dhcp.bdl of release 4 is missing"},
      {"a driver changed", "drivers/6.1.0-28-686.bdl", "drivers/6.1.0-28-686.bdl does not match"},
  };
  for (const Case& c : cases) {
    TestTree tree;
    tree.writePackages({package("system"), package("dhcp", {"system"})});
    tree.write("scripts/site.scr", "echo site\n");
    tree.write("held-scripts/aside.scr", "echo aside\n");
    tree.write("drivers/6.1.0-28-686.bdl", "drivers\n");
    const std::string& root = tree.root();
    ASSERT_EQ(bdl("release --key " + (keys / "key") + " --number 4 " + root + "/release.lst " +
                  root + "/packages/system.bdl " + root + "/packages/dhcp.bdl " + root +
                  "/scripts/site.scr " + root + "/held-scripts/aside.scr --driver " + root +
                  "/drivers/6.1.0-28-686.bdl"),
              0);
    std::string change = c.change;
    if (!change.empty() && change[0] == '-') {
      tree.remove(change.substr(1));
    } else if (!change.empty() && change[0] == '+') {
      tree.writePackages({package(change.substr(1))});
    } else if (!change.empty()) {
      tree.write(change, "changed\n");
    }
    std::string summary;
    std::string error;
    bool started = checkServedRelease(root, summary, error);
    if (c.error == nullptr) {
      EXPECT_TRUE(started) << c.what << ": " << error;
      EXPECT_EQ(summary.find("release 4 of Korvanel, 5 files, signed with key "), 0u) << summary;
      ServedFile first;
      EXPECT_TRUE(findServedRelease(root, first));
      EXPECT_EQ(first.name, "release.lst");
      continue;
    }
    EXPECT_FALSE(started) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
  }
}

TEST(ServedReleaseTest, ARootWithoutListStartsWithANote) {
  TestTree tree;
  tree.writePackages({package("system")});
  std::string summary;
  std::string error;
  EXPECT_TRUE(checkServedRelease(tree.root(), summary, error)) << error;
  EXPECT_NE(summary.find("no release list"), std::string::npos);
  tree.write("release.lst", "format: bdl-release 1\n");
  EXPECT_FALSE(checkServedRelease(tree.root(), summary, error));
  EXPECT_NE(error.find("release.lst: release list line 2"), std::string::npos) << error;
}

}  // namespace
