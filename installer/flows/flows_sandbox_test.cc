// The CD-ROM and hard-disk flows on loop devices in the sandbox, grouped by
// what can go wrong. ext2 stands in for ISO 9660 and FAT; everything else is
// real: our partitioning tool, Debian's mke2fs, the package children.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "disk/boot_sector.h"
#include "disk/disk_test_support.h"
#include "disk/install_driver.h"
#include "flow_test_support.h"
#include "flows/cdrom_installation.h"
#include "flows/disk_installation.h"
#include "package_builder.h"
#include "packages/package_fixtures.h"
#include "packages/package_key_file.h"

namespace {

constexpr uint32_t kSmallDisk = 5;  // cylinders: under 40 MiB, an ext2 root

const std::vector<FixturePackage> kPackages = {
    {"system", {}, "the base system", ""},
    {"dhcp", {"system"}, "address from a server", ""},
    {"web", {"dhcp"}, "configuration pages", ""},
};

// A directory with the packages and whatever else a test puts there.
struct MediumFiles {
  MediumFiles() {
    std::string made = ::makeMedium(dir.path(), kPackages);
    EXPECT_EQ(made, "");
  }
  void add(const std::string& name, const std::string& content) { writeFile(dir / name, content); }
  // Flips a byte of the gzip trailer: the head reads well, the whole does not.
  void damage(const std::string& name) {
    std::fstream file(dir / name, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(-8, std::ios::end);
    char byte = static_cast<char>(file.get() ^ 0x55);
    file.seekp(-8, std::ios::end);
    file.put(byte);
  }
  ScratchDirectory dir;
};

// The first sector a sfdisk-made table would keep: our marker in the code area.
std::string mbrFile() {
  std::string mbr(512, '\0');
  std::string marker = "test mbr, not a boot loader";
  mbr.replace(0, marker.size(), marker);
  mbr[510] = '\x55';
  mbr[511] = '\xAA';
  return mbr;
}

// The end of `out`, as long as `expected`: compared, it shows the difference.
std::string tail(const std::string& out, const std::string& expected) {
  return out.size() < expected.size() ? out : out.substr(out.size() - expected.size());
}

bool installed(const std::string& partition, const std::string& package) {
  return debugfs(partition, "cat /usr/share/" + package) == package + "\n" &&
         debugfs(partition, "stat /var/pdb/" + package).find("Type: regular") != std::string::npos;
}

// ---------------------------------------------------------------- CD-ROM

class CdromFlow : public ::testing::Test {
 protected:
  FlowRun run(DriveInfo& drive, const std::string& keys) {
    return runFlow([&] { return runCdromInstallationWith(drive, medium_); }, keys);
  }
  void TearDown() override { (void)umount(kSourceMountPoint); }
  Ext2Medium medium_;
  PartitioningTools tools_{{}};
};

TEST_F(CdromFlow, NothingMountsInOnePass) {
  DriveInfo drive;
  FlowRun done = run(drive, "");
  EXPECT_FALSE(done.result);
  EXPECT_EQ(done.out, "\nFATAL ERROR: no CD-ROM found\n");
  EXPECT_EQ(medium_.tried,
            (std::vector<std::string>{"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd"}));
}

TEST_F(CdromFlow, CdWithoutPackagesOrCancelledMenuOrRefusedEraseLeavesTheDiskAlone) {
  LoopDisk target("sda", kSmallDisk);
  LoopDisk cd("hda", 2);
  DriveInfo drive = target.drive();
  std::string before = diskHead(target.device(), 64 * 1024);

  ScratchDirectory empty;
  makeMedium(cd, empty.path());
  EXPECT_EQ(run(drive, "").out, "FATAL ERROR: No packages found\n");
  ASSERT_EQ(umount(kSourceMountPoint), 0);

  MediumFiles files;
  makeMedium(cd, files.dir.path());
  FlowRun cancelled = run(drive, "q");
  EXPECT_FALSE(cancelled.result);
  EXPECT_EQ(tail(cancelled.out, "Installation canceled\n"), "Installation canceled\n");
  ASSERT_EQ(umount(kSourceMountPoint), 0);

  FlowRun refused = run(drive, "iyn");
  EXPECT_FALSE(refused.result);
  EXPECT_EQ(refused.out.substr(refused.out.find("Warning")),
            "Warning: all data on the disk will be erased!\n\nContinue? [y/n]:n\n");
  EXPECT_TRUE(diskHead(target.device(), 64 * 1024) == before) << "the disk was touched";
}

TEST_F(CdromFlow, KeptConfigurationComesBackOnTheNewSystem) {
  LoopDisk target("sda", kSmallDisk);
  LoopDisk cd("hdc", 2);  // the secondary master
  MediumFiles files;
  makeMedium(cd, files.dir.path());
  DriveInfo drive = target.drive();
  // An old installation with a configuration store.
  captureStdout([&] { ASSERT_TRUE(installSystem(drive, false)); });
  ASSERT_EQ(mkdir("/mnt/tarn/store", 0700), 0);
  writeFile("/mnt/tarn/store/network", "address 10.1.2.3\n", 0600);
  ASSERT_EQ(umount("/mnt"), 0);

  FlowRun done = run(drive, "iyy");
  ASSERT_TRUE(done.result) << done.out;
  EXPECT_EQ(medium_.tried, (std::vector<std::string>{"/dev/hda", "/dev/hdb", "/dev/hdc"}));
  EXPECT_NE(done.out.find("Reading old configuration...\n"), std::string::npos) << done.out;
  EXPECT_EQ(debugfs(target.partition(1), "cat /tarn/store/network"), "address 10.1.2.3\n");
  EXPECT_TRUE(installed(target.partition(1), "system"));
}

TEST_F(CdromFlow, RefusedPackageStopsTheInstallationNamingIt) {
  LoopDisk target("sda", kSmallDisk);
  LoopDisk cd("hda", 2);
  MediumFiles files;
  files.damage("dhcp.bdl");
  makeMedium(cd, files.dir.path());
  DriveInfo drive = target.drive();

  FlowRun done = run(drive, "n iny");
  EXPECT_FALSE(done.result);
  EXPECT_NE(done.out.find("\nFATAL ERROR: could not install package dhcp\n"), std::string::npos)
      << done.out;
  EXPECT_EQ(done.out.find("Software installed."), std::string::npos) << done.out;
  ASSERT_EQ(umount("/mnt"), 0) << "the new system stays mounted after a failure";
  EXPECT_TRUE(installed(target.partition(1), "system")) << "installed before the damaged one";
}

// ------------------------------------------------------------ hard disk

class DiskFlow : public ::testing::Test {
 protected:
  FlowRun run(DriveInfo& drive, const std::string& keys = "") {
    return runFlow([&] { return runDiskInstallationWith(drive, medium_, sleeper_); }, keys);
  }
  void TearDown() override { (void)umount(kSourceMountPoint); }
  Ext2Medium medium_;
  CountingSleeper sleeper_;
};

TEST_F(DiskFlow, NoDiskWithBothFilesAfterTwentyPasses) {
  LoopDisk disk("hda", 2);
  MediumFiles files;
  files.add("mbr", mbrFile());  // no autorun.scr
  makeMedium(disk, files.dir.path());
  DriveInfo drive;

  FlowRun done = run(drive);
  EXPECT_FALSE(done.result);
  EXPECT_EQ(done.out.substr(done.out.find("Looking")),
            "Looking for harddrives...\n\nFATAL ERROR: No hard disk found\n");
  EXPECT_EQ(sleeper_.waits, std::vector<unsigned>(20, 1));
  EXPECT_EQ(medium_.tried.size(), 20u * 12u);
  EXPECT_EQ(medium_.unmounts, 20) << "the disk without the script is unmounted every pass";
}

TEST_F(DiskFlow, ChooseModeShowsTheMenuAndCancels) {
  LoopDisk disk("sda", 2);
  MediumFiles files;
  files.add("mbr", mbrFile());
  files.add("autorun.scr", "");
  files.add("CHOOSE", "");
  makeMedium(disk, files.dir.path());
  DriveInfo drive;

  FlowRun done = run(drive, "q");
  EXPECT_FALSE(done.result);
  EXPECT_NE(done.out.find("Press 'i' to install"), std::string::npos) << "the menu was shown";
  EXPECT_EQ(tail(done.out, "Installation canceled\n"), "Installation canceled\n");
}

TEST_F(DiskFlow, ShortMbrOrUnlistedSourceLeavesTheFirstSectorAlone) {
  LoopDisk disk("sda", kSmallDisk);
  MediumFiles files;
  files.add("mbr", mbrFile().substr(0, 511));
  files.add("autorun.scr", "");
  makeMedium(disk, files.dir.path());
  std::string before = diskHead(disk.device());
  DriveInfo drive;

  FlowRun shortMbr = run(drive);
  EXPECT_FALSE(shortMbr.result);
  const std::string unreadable = "\nFATAL ERROR: Couldn't read mbr file\n";
  EXPECT_EQ(tail(shortMbr.out, unreadable), unreadable);
  EXPECT_TRUE(diskHead(disk.device()) == before) << "the first sector was written";
  ASSERT_EQ(umount(kSourceMountPoint), 0);

  // The fifth disk: the scan reports four others, so the source is not
  // among them. Its first sector, and with it the installation files, stay.
  files.add("mbr", mbrFile());
  makeMedium(disk, files.dir.path());
  before = diskHead(disk.device());
  std::string listing;
  for (const char* name : {"hda", "hdb", "hdc", "hdd"}) {
    listing += std::string("/dev/") + name + ": 5 cylinders, 255 heads, 63 sectors/track\n";
  }
  PartitioningTools tools({}, listing);
  FlowRun fifth = run(drive);
  EXPECT_FALSE(fifth.result);
  const std::string unlisted = "\nFATAL ERROR: Couldn't find the disk!\n";
  EXPECT_EQ(tail(fifth.out, unlisted), unlisted);
  EXPECT_TRUE(diskHead(disk.device()) == before) << "the first sector was written";
}

TEST_F(DiskFlow, RefusedPackageStopsTheInstallationNamingIt) {
  LoopDisk disk("sda", kSmallDisk);
  MediumFiles files;
  files.add("mbr", mbrFile());
  files.add("autorun.scr", "");
  files.damage("web.bdl");
  makeMedium(disk, files.dir.path());
  PartitioningTools tools({disk.device()});
  DriveInfo drive;

  FlowRun done = run(drive);
  EXPECT_FALSE(done.result);
  EXPECT_NE(done.out.find("\nFATAL ERROR: could not install package web\n"), std::string::npos)
      << done.out;
  EXPECT_EQ(done.out.find("Software installed."), std::string::npos) << done.out;
}

TEST_F(DiskFlow, MoreThanFiftyPackagesAreRefusedBeforeAnythingIsRead) {
  LoopDisk disk("sda", kSmallDisk);
  MediumFiles files;
  for (int i = 0; i < 49; ++i) {
    std::string name = "extra" + std::to_string(i);
    files.add(name + ".bdl", package_testing::buildPackage(package_testing::metadataNamed(name), {}));
  }
  files.add("mbr", mbrFile());
  files.add("autorun.scr", "");
  makeMedium(disk, files.dir.path());
  DriveInfo drive;

  FlowRun done = run(drive);
  EXPECT_FALSE(done.result);
  EXPECT_EQ(done.out.substr(done.out.find("Looking")),
            "Looking for harddrives...\n"
            "\nFATAL ERROR: 52 packages chosen, but at most 50 can be installed from a hard disk\n");
}

// With a key on the boot medium nothing unsigned goes into the new system:
// a script on the medium, or a first sector other than the installer's own
// boot code, ends the run before the disk is touched. The key binds the
// whole process, so each run has a process of its own.
TEST_F(DiskFlow, WithAPackageKeyTheMediumsScriptAndForeignMbrAreRefused) {
  LoopDisk disk("sda", kSmallDisk);
  ScratchDirectory keys;
  writeFile(keys / "package-key.pub", "format: bdl-public-key 1\nkey: " + std::string(64, 'a') + "\n");
  std::string ownBootCode(512, '\0');
  layBootCode(reinterpret_cast<uint8_t*>(ownBootCode.data()));
  struct Case {
    std::string script, mbr, fatal;
  } cases[] = {
      {"hostname evil\n", ownBootCode,
       "\nFATAL ERROR: the medium carries the script autorun.scr, but only signed packages are "
       "installed\n"},
      {"", mbrFile(),
       "\nFATAL ERROR: the medium's mbr is not the installer's boot code, but only signed "
       "packages are installed\n"},
  };
  for (const Case& refused : cases) {
    MediumFiles files;
    files.add("mbr", refused.mbr);
    files.add("autorun.scr", refused.script);
    makeMedium(disk, files.dir.path());
    std::string before = diskHead(disk.device());
    pid_t child = fork();
    if (child == 0) {
      (void)loadPackageKey((keys / "package-key.pub").c_str());
      DriveInfo drive;
      FlowRun done = run(drive);
      _exit(!done.result && tail(done.out, refused.fatal) == refused.fatal ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << refused.fatal;
    EXPECT_TRUE(diskHead(disk.device()) == before) << "the disk was touched";
    (void)umount(kSourceMountPoint);
  }
}

}  // namespace
