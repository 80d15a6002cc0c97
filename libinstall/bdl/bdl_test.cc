// The bdl tool as its users run it, checked against GNU tar as an
// independent reader and writer of the format.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "package_builder.h"
#include "tree_compare.h"

namespace {

using package_testing::readFile;
using package_testing::TempDir;

const std::string kBdl = KORVANEL_BINARY_DIR "/bin/bdl";

struct ToolRun {
  int exitCode;
  std::string output;  // standard output and error together
};

ToolRun run(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  ToolRun result{-1, ""};
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

void makeSampleTree(const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/etc").c_str(), 0750);
  package_testing::writeFile(dir + "/etc/conf", "setting=1\n");
  package_testing::writeFile(dir + "/etc/" + std::string(120, 'L'), "long name\n");
  symlink("conf", (dir + "/etc/link").c_str());
  link((dir + "/etc/conf").c_str(), (dir + "/etc/hard").c_str());
  chown((dir + "/etc/conf").c_str(), 42, 43);
  struct timespec times[2] = {{1600000000, 5}, {1600000000, 123456789}};
  utimensat(AT_FDCWD, (dir + "/etc/conf").c_str(), times, 0);
  utimensat(AT_FDCWD, (dir + "/etc").c_str(), times, 0);
}

TEST(Bdl, PackInfoListAndVerifyDescribeThePackage) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  std::string pkg = tmp / "ppp.bdl";
  ToolRun pack = run(kBdl + " pack --name ppp --version 2.4 --description 'PPP daemon' --depends "
                        "system,dhcp " + quote(tmp / "tree") + " " + quote(pkg));
  ASSERT_EQ(pack.exitCode, 0) << pack.output;

  ToolRun info = run(kBdl + " info " + quote(pkg));
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_EQ(info.output,
            "name: ppp\nversion: 2.4\ndescription: PPP daemon\ndepends: system, dhcp\n"
            "signed-by: nobody (unsigned package)\n");

  ToolRun list = run(kBdl + " list " + quote(pkg));
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.output.find("drwxr-x--- 0/0 0 2020-09-13 12:26:40 etc/\n"), std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("-rw-r--r-- 42/43 10 2020-09-13 12:26:40 etc/conf\n"),
            std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("etc/hard link to etc/conf\n"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("etc/link -> conf\n"), std::string::npos) << list.output;
  EXPECT_EQ(list.output.find(".bdlinfo"), std::string::npos) << "metadata is not a member";

  ToolRun verify = run(kBdl + " verify " + quote(pkg));
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
  EXPECT_NE(verify.output.find(": ok: ppp-2.4, 5 members, 20 bytes, signed by nobody"),
            std::string::npos)
      << verify.output;
}

// --owner and --mtime: the package records what the builder says, not what
// the host's files say, so the same tree packed later by someone else is the
// same package byte for byte. Bad values are usage errors.
TEST(Bdl, OwnerAndTimeGivenMakeTheSamePackageFromAnotherHostTree) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  const std::string fixed = " pack --name p --owner 0:0 --mtime 1700000000 ";
  ASSERT_EQ(run(kBdl + fixed + quote(tmp / "tree") + " " + quote(tmp / "a.bdl")).exitCode, 0);
  chown((tmp / "tree/etc/conf").c_str(), 1000, 1000);
  struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  utimensat(AT_FDCWD, (tmp / "tree/etc/conf").c_str(), now, 0);
  ASSERT_EQ(run(kBdl + fixed + quote(tmp / "tree") + " " + quote(tmp / "b.bdl")).exitCode, 0);
  EXPECT_EQ(readFile(tmp / "a.bdl"), readFile(tmp / "b.bdl"));
  ToolRun list = run(kBdl + " list " + quote(tmp / "a.bdl"));
  EXPECT_NE(list.output.find("-rw-r--r-- 0/0 10 2023-11-14 22:13:20 etc/conf\n"),
            std::string::npos)
      << list.output;

  for (const char* bad : {"--owner 0", "--owner a:b", "--owner 1:-1", "--mtime -5", "--mtime 1e9"}) {
    ToolRun refused =
        run(kBdl + " pack --name p " + bad + " " + quote(tmp / "tree") + " " + quote(tmp / "c.bdl"));
    EXPECT_EQ(refused.exitCode, 2) << bad << ": " << refused.output;
  }
}

// keygen, sign in place (and again with another key), verify against a key,
// info naming the signer; tar still reads a signed package.
TEST(Bdl, SignedPackagesFromKeygenToVerify) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  std::string pkg = quote(tmp / "p.bdl");
  ASSERT_EQ(run(kBdl + " pack --name p " + quote(tmp / "tree") + " " + pkg).exitCode, 0);
  std::string unsignedBytes = readFile(tmp / "p.bdl");
  ToolRun keygen = run(kBdl + " keygen " + quote(tmp / "key"));
  ASSERT_EQ(keygen.exitCode, 0) << keygen.output;
  ASSERT_EQ(run(kBdl + " keygen " + quote(tmp / "other")).exitCode, 0);
  EXPECT_EQ(run(kBdl + " keygen " + quote(tmp / "key")).exitCode, 1) << "keys are never replaced";
  struct stat st;
  ASSERT_EQ(stat((tmp / "key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string id = keygen.output.substr(4, 16);  // "key <id>: ..."

  EXPECT_EQ(run(kBdl + " verify --pubkey " + quote(tmp / "key.pub") + " " + pkg).output,
            "bdl: " + tmp / "p.bdl" + ": package not signed (only packages signed with key " + id +
                " are accepted)\n");
  ToolRun sign = run(kBdl + " sign --key " + quote(tmp / "other") + " " + pkg);
  ASSERT_EQ(sign.exitCode, 0) << sign.output;
  ASSERT_EQ(run(kBdl + " sign --key " + quote(tmp / "key") + " " + pkg).exitCode, 0);
  EXPECT_EQ(readFile(tmp / "p.bdl").substr(readFile(tmp / "p.bdl").size() - unsignedBytes.size()),
            unsignedBytes)
      << "the package proper stays as it was; the new signature replaced the old";
  EXPECT_NE(run(kBdl + " info " + pkg).output.find("\nsigned-by: key " + id + "\n"),
            std::string::npos);
  ToolRun verify = run(kBdl + " verify --pubkey " + quote(tmp / "key.pub") + " " + pkg);
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
  EXPECT_NE(verify.output.find(", signed by key " + id + "\n"), std::string::npos);
  ToolRun wrong = run(kBdl + " verify --pubkey " + quote(tmp / "other.pub") + " " + pkg);
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.output.find(": signed with key " + id + ", not with the required key "),
            std::string::npos)
      << wrong.output;
  EXPECT_EQ(run("tar -tzf " + pkg + " | head -2").output, ".bdlsig\n.bdlinfo\n");

  // A damaged package is not signed, and stays as it was.
  std::string damaged = readFile(tmp / "p.bdl");
  damaged[damaged.size() - 30] ^= 1;
  package_testing::writeFile(tmp / "p.bdl", damaged);
  EXPECT_EQ(run(kBdl + " sign --key " + quote(tmp / "key") + " " + pkg).exitCode, 1);
  EXPECT_EQ(readFile(tmp / "p.bdl"), damaged);
  EXPECT_EQ(run(kBdl + " sign " + pkg).exitCode, 2) << "no key";
}

TEST(Bdl, TarReadsWhatBdlWritesWithNanosecondsAndLongNames) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  std::string pkg = tmp / "x.bdl";
  ASSERT_EQ(run(kBdl + " pack --name x " + quote(tmp / "tree") + " " + quote(pkg)).exitCode, 0);
  mkdir((tmp / "out").c_str(), 0755);
  ToolRun tar = run("tar -xzf " + quote(pkg) + " -C " + quote(tmp / "out"));
  ASSERT_EQ(tar.exitCode, 0) << tar.output;
  auto expected = package_testing::snapshotTree(tmp / "tree");
  auto extracted = package_testing::snapshotTree(tmp / "out");
  extracted.erase(".bdlinfo");
  EXPECT_EQ(package_testing::describeDifferences(expected, extracted), "");
  EXPECT_EQ(readFile(tmp / "out/.bdlinfo"), "format: 1\nname: x\n");
}

TEST(Bdl, PackagesMadeByTarAreReadToo) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  package_testing::writeFile(tmp / "tree/.bdlinfo", "format: 1\nname: fromtar\n");
  for (const char* format : {"gnu", "pax", "ustar"}) {
    std::string pkg = tmp / (std::string(format) + ".bdl");
    // ustar cannot hold the 124-byte name: leave that file out there.
    std::string exclude = std::string(format) == "ustar" ? " --exclude='LLL*'" : "";
    ToolRun tar = run("cd " + quote(tmp / "tree") + " && tar --format=" + format + exclude +
                  " -czf " + quote(pkg) + " .bdlinfo etc");
    ASSERT_EQ(tar.exitCode, 0) << tar.output;
    ToolRun verify = run(kBdl + " verify " + quote(pkg));
    EXPECT_EQ(verify.exitCode, 0) << format << ": " << verify.output;
    EXPECT_NE(verify.output.find("ok: fromtar"), std::string::npos) << verify.output;
  }
}

TEST(Bdl, VerifyAndListRejectDamagedPackages) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  std::string pkg = tmp / "p.bdl";
  ASSERT_EQ(run(kBdl + " pack --name p " + quote(tmp / "tree") + " " + quote(pkg)).exitCode, 0);
  std::string bytes = readFile(pkg);
  std::string flipped = bytes;
  flipped[bytes.size() - 10] ^= 0x40;
  package_testing::writeFile(tmp / "flipped.bdl", flipped);
  package_testing::writeFile(tmp / "cut.bdl", bytes.substr(0, bytes.size() - 20));
  package_testing::writeFile(tmp / "hostile.bdl",
                             package_testing::buildPackage(
                                 package_testing::metadataNamed("h"),
                                 {package_testing::TestMember::file("../x", "")}));
  for (const char* name : {"flipped.bdl", "cut.bdl", "hostile.bdl"}) {
    ToolRun verify = run(kBdl + " verify " + quote(tmp / name));
    EXPECT_EQ(verify.exitCode, 1) << name;
    EXPECT_EQ(verify.output.rfind("bdl: " + tmp / name + ": ", 0), 0u) << verify.output;
  }
  EXPECT_EQ(run(kBdl + " list " + quote(tmp / "cut.bdl")).exitCode, 1);
}

TEST(Bdl, BadUsageAndUnpackableTreesFailWithoutLeavingAPackage) {
  TempDir tmp;
  mkdir((tmp / "tree").c_str(), 0755);
  EXPECT_EQ(run(kBdl).exitCode, 2);
  EXPECT_EQ(run(kBdl + " frobnicate x").exitCode, 2);
  EXPECT_EQ(run(kBdl + " pack " + quote(tmp / "tree") + " " + quote(tmp / "o.bdl")).exitCode, 2)
      << "no name";
  EXPECT_EQ(run(kBdl + " pack --name 'bad name' " + quote(tmp / "tree") + " " +
                quote(tmp / "o.bdl")).exitCode,
            1);
  mkfifo((tmp / "tree/fifo").c_str(), 0644);
  ToolRun pack = run(kBdl + " pack --name f " + quote(tmp / "tree") + " " + quote(tmp / "o.bdl"));
  EXPECT_EQ(pack.exitCode, 1);
  EXPECT_NE(pack.output.find("fifo"), std::string::npos) << pack.output;
  EXPECT_EQ(access((tmp / "o.bdl").c_str(), F_OK), -1);
  // A package written into the tree it packs does not contain itself.
  unlink((tmp / "tree/fifo").c_str());
  ASSERT_EQ(run(kBdl + " pack --name self " + quote(tmp / "tree") + " " +
                quote(tmp / "tree/self.bdl")).exitCode,
            0);
  EXPECT_EQ(run(kBdl + " list " + quote(tmp / "tree/self.bdl")).output, "");
}

// bdl extract goes the package child's way (the library's walks, refusals,
// record and exit codes) into a directory instead of a changed root.
TEST(Bdl, ExtractInstallsIntoTheDirectoryAndRefusesWhatTheChildRefuses) {
  TempDir tmp;
  makeSampleTree(tmp / "tree");
  std::string pkg = tmp / "ppp.bdl";
  ASSERT_EQ(run(kBdl + " pack --name ppp --version 2.4 " + quote(tmp / "tree") + " " + quote(pkg))
                .exitCode,
            0);
  mkdir((tmp / "root").c_str(), 0755);
  ToolRun extract = run(kBdl + " extract " + quote(pkg) + " " + quote(tmp / "root"));
  ASSERT_EQ(extract.exitCode, 0) << extract.output;
  EXPECT_EQ(extract.output, "");
  auto installed = package_testing::snapshotTree(tmp / "root");
  EXPECT_NE(installed["var/pdb/ppp"].content.find("name: ppp\nversion: 2.4\n"), std::string::npos);
  for (const char* database : {"var", "var/pdb", "var/pdb/ppp"}) installed.erase(database);
  EXPECT_EQ(package_testing::describeDifferences(package_testing::snapshotTree(tmp / "tree"),
                                                 installed),
            "");

  // A link out of the root and a file written through it: refused, and
  // nothing appears in the directory beside the root.
  mkdir((tmp / "bait").c_str(), 0755);
  package_testing::writeFile(
      tmp / "hostile.bdl",
      package_testing::buildPackage(package_testing::metadataNamed("h"),
                                    {package_testing::TestMember::symlink("out", "../bait"),
                                     package_testing::TestMember::file("out/x", "escaped")}));
  ToolRun hostile =
      run(kBdl + " extract " + quote(tmp / "hostile.bdl") + " " + quote(tmp / "root"));
  EXPECT_EQ(hostile.exitCode, 1);
  EXPECT_EQ(hostile.output.rfind("install: h-1.0: ", 0), 0u) << hostile.output;
  EXPECT_TRUE(package_testing::snapshotTree(tmp / "bait").empty());
  EXPECT_EQ(access((tmp / "root/var/pdb/h").c_str(), F_OK), -1) << "no record of a refused package";

  ToolRun noRoot = run(kBdl + " extract " + quote(pkg) + " " + quote(tmp / "none"));
  EXPECT_EQ(noRoot.exitCode, 2);
  EXPECT_EQ(noRoot.output,
            "bdl: cannot install into " + tmp / "none" + ": No such file or directory\n");
  EXPECT_EQ(run(kBdl + " extract " + quote(tmp / "no.bdl") + " " + quote(tmp / "root")).exitCode,
            1);
  EXPECT_EQ(run(kBdl + " extract " + quote(pkg)).exitCode, 2);
}

}  // namespace
