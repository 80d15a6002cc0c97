#include "server/protocol/install_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package_builder.h"
#include "server/protocol/server_test_tree.h"

namespace {

std::vector<std::string> namesAndMarks(const std::vector<ServedFile>& files) {
  std::vector<std::string> result;
  for (const ServedFile& file : files) result.push_back(file.name + ":" + std::to_string(file.mark));
  return result;
}

TEST(InstallTreeTest, PackagesInOrderThenScriptsWithMarkOneThenHeldScriptsWithMarkZero) {
  TestTree tree;
  tree.writePackages(
      {package("system"), package("dhcp", {"system"}), package("apps", {"dhcp"}), package("zz")});
  tree.write("packages/notes.txt", "not a package");
  tree.write("packages/upper.BDL", "case matters");
  tree.makeDirectory("packages/directory.bdl");
  tree.write("scripts/zz.scr", "z");
  tree.write("scripts/autorun.scr", "a");
  tree.write("scripts/.scr", "no name");
  tree.write("scripts/readme", "not a script");
  tree.write("held-scripts/aside.scr", "h");
  std::vector<ServedFile> files;
  std::string error;
  ASSERT_TRUE(listInstallFiles(tree.root(), files, error)) << error;
  // By name, then each after what it needs: the library's ordering.
  EXPECT_EQ(namesAndMarks(files),
            (std::vector<std::string>{"system.bdl:0", "dhcp.bdl:0", "apps.bdl:0", "zz.bdl:0",
                                      "autorun.scr:1", "zz.scr:1", "aside.scr:0"}));
  EXPECT_EQ(files[0].path, tree.root() + "/packages/system.bdl");
  EXPECT_TRUE(checkInstallTree(tree.root(), error)) << error;
}

TEST(InstallTreeTest, ScriptsAreOptional) {
  TestTree tree;
  tree.writePackages({package("base")});
  std::vector<ServedFile> files;
  std::string error;
  ASSERT_TRUE(listInstallFiles(tree.root(), files, error)) << error;
  EXPECT_EQ(namesAndMarks(files), std::vector<std::string>{"base.bdl:0"});
}

TEST(InstallTreeTest, UnsignedPackagesAndDriversAreListed) {
  TestTree tree;
  tree.writePackages({package("base"), package("zz")});
  libinstall::SecretKey key;
  ASSERT_TRUE(key.generate());
  tree.write("packages/signed.bdl",
             package_testing::signedPackage(
                 package_testing::buildPackage(package_testing::metadataNamed("signed"), {}), key));
  tree.write("drivers/6.1.bdl", package_testing::readFile(tree.root() + "/packages/zz.bdl"));
  EXPECT_EQ(listUnsignedPackages(tree.root()),
            (std::vector<std::string>{"drivers/6.1.bdl", "packages/base.bdl", "packages/zz.bdl"}));
}

// Every installer would fail on it: the server says so before it serves.
TEST(InstallTreeTest, FileThatIsNotAPackageIsRefused) {
  TestTree tree;
  tree.writePackages({package("base")});
  tree.write("packages/broken.bdl", "not a package at all");
  std::vector<ServedFile> files;
  std::string error;
  EXPECT_FALSE(listInstallFiles(tree.root(), files, error));
  EXPECT_EQ(error, tree.root() + "/packages/broken.bdl is not a package");
  EXPECT_FALSE(checkInstallTree(tree.root(), error));
}

// A name the installer would cut (it keeps 31 characters) could lose its
// ".scr" and be installed as a package: the server refuses to send it.
TEST(InstallTreeTest, NamesThatWouldNotArriveWholeAreRefused) {
  TestTree tree;
  tree.writePackages({package("base")});
  tree.write("scripts/" + std::string(28, 'n') + ".scr", "32 characters");
  std::vector<ServedFile> files;
  std::string error;
  EXPECT_FALSE(listInstallFiles(tree.root(), files, error));
  EXPECT_NE(error.find("at most 31 characters"), std::string::npos) << error;

  TestTree newline;
  newline.writePackages({package("base")});
  newline.write("scripts/bad\nname.scr", "b");
  EXPECT_FALSE(listInstallFiles(newline.root(), files, error));
  EXPECT_NE(error.find("printable"), std::string::npos) << error;

  TestTree fits;
  fits.write("scripts/" + std::string(27, 'n') + ".scr", "31 characters");
  fits.writePackages({package("base")});
  EXPECT_TRUE(listInstallFiles(fits.root(), files, error)) << error;
}

TEST(InstallTreeTest, StartUpCheckSaysWhatIsWrongWithTheRoot) {
  std::string error;
  EXPECT_FALSE(checkInstallTree("/nonexistent/korvanel", error));
  EXPECT_EQ(error, "cannot use /nonexistent/korvanel: No such file or directory");

  TestTree file;
  file.write("plain", "x");
  EXPECT_FALSE(checkInstallTree(file.root() + "/plain", error));
  EXPECT_EQ(error, "cannot use " + file.root() + "/plain: not a directory");

  TestTree noPackages;
  noPackages.write("scripts/a.scr", "a");
  EXPECT_FALSE(checkInstallTree(noPackages.root(), error));
  EXPECT_EQ(error, "cannot read " + noPackages.root() + "/packages: No such file or directory");

  TestTree empty;
  empty.makeDirectory("packages");
  EXPECT_FALSE(checkInstallTree(empty.root(), error));
  EXPECT_EQ(error, "no packages (*.bdl) in " + empty.root() + "/packages");
}

// The release comes from the network: it may only name a file in drivers/.
TEST(InstallTreeTest, DriverFileIsFoundByReleaseAndOnlyThere) {
  TestTree tree;
  tree.write("drivers/6.1.0-28-686.bdl", "drivers");
  tree.write("secret.bdl", "not for the network");
  tree.makeDirectory("drivers/dir.bdl");
  ServedFile file;
  ASSERT_TRUE(findDriverFile(tree.root(), "6.1.0-28-686", file));
  EXPECT_EQ(file.name, "6.1.0-28-686.bdl");
  EXPECT_EQ(file.path, tree.root() + "/drivers/6.1.0-28-686.bdl");
  for (const char* release : {"../secret", "", ".", "..", "6.1.0-99-686", "dir", "a\nb"}) {
    EXPECT_FALSE(findDriverFile(tree.root(), release, file)) << release;
  }
}

}  // namespace
