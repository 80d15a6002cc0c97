// A signed root rendered from an inventory, as the server checks it at
// start: each machine's files against the entries its own address takes,
// as its installer would check them.
#include "server/lab/machine_release.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "package_builder.h"
#include "server/protocol/served_release.h"
#include "server/protocol/server_test_tree.h"

namespace {

const std::string kBdl = KORVANEL_BINARY_DIR "/bin/bdl";
const std::string kOffice1 = "machines/52-54-00-aa-01-01/";
const std::string kOffice2 = "machines/52-54-00-aa-01-02/";
const std::string kEdge = "machines/52-54-00-aa-01-03/";

int bdl(const std::string& arguments) {
  int status = system((kBdl + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two office routers and an edge router that alone takes ppp, each with a
// plain script and a secret one; the machines the inventory does not name
// are held with the common packages and a script of their own. Listed as
// build-media lists it: what every machine takes for every machine, the
// rest as each machine's own.
void renderLab(TestTree& tree, const std::string& key) {
  tree.writePackages({package("base"), package("dhcp", {"base"}), package("ppp", {"base"})});
  tree.write("drivers/6.1.0-28-686.bdl", "drivers\n");
  tree.makeDirectory("scripts");
  const char* names[] = {"office-1", "office-2", "edge-1"};
  const std::string folders[] = {kOffice1, kOffice2, kEdge};
  const char* macs[] = {"52:54:00:aa:01:01", "52:54:00:aa:01:02", "52:54:00:aa:01:03"};
  std::string own;
  for (int i = 0; i < 3; ++i) {
    std::string name = names[i];
    std::string packages = i == 2 ? "base.bdl dhcp.bdl ppp.bdl" : "base.bdl dhcp.bdl";
    tree.write(folders[i] + "machine.conf", "name: " + name + "\ngroup: lab\npackages: " +
                                                packages + "\n");
    tree.write(folders[i] + "scripts/plain.scr", "hostname " + name + "\n");
    tree.write(folders[i] + "secret-scripts/autorun.scr", "password=" + name + "-secret\n");
    for (const char* file : {"scripts/plain.scr", "secret-scripts/autorun.scr"}) {
      own += std::string(" --machine ") + macs[i] + " " + tree.root() + "/" + folders[i] + file;
    }
  }
  own += " --machine 52:54:00:aa:01:03 " + tree.root() + "/packages/ppp.bdl";
  tree.write("unknown/machine.conf", "policy: hold\npackages: base.bdl dhcp.bdl\n");
  tree.write("unknown/scripts/plain.scr", "hostname guest\n");
  const std::string& root = tree.root();
  ASSERT_EQ(bdl("release --key " + key + " --number 4 " + root + "/release.lst " + root +
                "/packages/base.bdl " + root + "/packages/dhcp.bdl " + root +
                "/unknown/scripts/plain.scr --driver " + root + "/drivers/6.1.0-28-686.bdl" +
                own),
            0);
}

TEST(MachineReleaseTest, EachMachinesFilesMustBeItsOwnEntries) {
  package_testing::TempDir keys;
  ASSERT_EQ(bdl("keygen " + (keys / "key")), 0);
  struct Case {
    const char* what;
    std::function<void(TestTree&)> change;  // after the list was signed
    const char* error;                      // null: the server starts
  };
  const Case cases[] = {
      {"as signed", [](TestTree&) {}, nullptr},
      {"a secret script swapped for another machine's",
       [](TestTree& tree) {
         tree.write(kOffice1 + "secret-scripts/autorun.scr", "password=office-2-secret\n");
       },
       "machines/52-54-00-aa-01-01/secret-scripts/autorun.scr does not match release 4 for "
       "52:54:00:aa:01:01 (office-1): its size or SHA-256 is not the listed one"},
      {"another machine's package taken",
       [](TestTree& tree) {
         tree.write(kOffice2 + "machine.conf", "name: office-2\npackages: base.bdl dhcp.bdl "
                                               "ppp.bdl\n");
       },
       "packages/ppp.bdl is not in release 4 for 52:54:00:aa:01:02 (office-2)"},
      {"a script changed after signing",
       [](TestTree& tree) { tree.write(kEdge + "scripts/plain.scr", "hostname edge-10\n"); },
       "machines/52-54-00-aa-01-03/scripts/plain.scr does not match release 4 for "
       "52:54:00:aa:01:03 (edge-1): longer than the 16 bytes listed"},
      {"a listed script of one machine missing",
       [](TestTree& tree) { tree.remove(kOffice2 + "scripts/plain.scr"); },
       "script plain.scr of release 4 for 52:54:00:aa:01:02 (office-2) is missing from "},
      {"a listed package of one machine left out of its set",
       [](TestTree& tree) {
         tree.write(kEdge + "machine.conf", "name: edge-1\npackages: base.bdl dhcp.bdl\n");
       },
       "package ppp.bdl of release 4 for 52:54:00:aa:01:03 (edge-1) is missing from "},
      {"a machine's folder removed, its entries kept",
       [](TestTree& tree) { tree.remove(kEdge); },
       "unknown/scripts/plain.scr does not match release 4 for 52:54:00:aa:01:03 (not in the "
       "inventory)"},
      {"machines not named served a package listed for one machine",
       [](TestTree& tree) { tree.write("unknown/machine.conf", "policy: hold\n"); },
       "packages/ppp.bdl is not in release 4 for the machines the inventory does not name"},
      {"the same, but they are refused",
       [](TestTree& tree) { tree.write("unknown/machine.conf", "policy: refuse\n"); }, nullptr},
      {"a lab-wide script nobody listed",
       [](TestTree& tree) { tree.write("scripts/site.scr", "echo site\n"); },
       "scripts/site.scr is not in release 4 for the machines the inventory does not name"},
      {"the driver package changed",
       [](TestTree& tree) { tree.write("drivers/6.1.0-28-686.bdl", "other drivers\n"); },
       "drivers/6.1.0-28-686.bdl does not match release 4 for the machines the inventory does "
       "not name: longer than the 8 bytes listed"},
  };
  for (const Case& c : cases) {
    TestTree tree;
    renderLab(tree, keys / "key");
    c.change(tree);
    std::string summary;
    std::string error;
    bool started = checkServedRelease(tree.root(), summary, error);
    if (c.error == nullptr) {
      EXPECT_TRUE(started) << c.what << ": " << error;
      EXPECT_EQ(summary.find("release 4 of Korvanel, 11 files, signed with key "), 0u) << summary;
      continue;
    }
    EXPECT_FALSE(started) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find("-secret"), std::string::npos) << c.what << ": " << error;
    if (error.find("secret-scripts/") != std::string::npos) {
      EXPECT_EQ(error.find("where the list says"), std::string::npos) << c.what << ": " << error;
    }
  }
}

}  // namespace
