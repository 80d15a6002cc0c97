// installSystem and finishInstallation end to end on loop devices, with our
// partitioning tool, Debian's mke2fs, and util-linux and e2fsprogs reading
// the result back. The new system's /bin/bash and /sbin/fsck are stand-ins
// that report how they were run.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <optional>
#include <string>

#include "disk/command_runner.h"
#include "disk/install_driver.h"
#include "disk/post_install.h"
#include "disk/target_filesystem.h"
#include "disk_sandbox_support.h"
#include "disk_test_support.h"
#include "output_capture.h"
#include "startup/process_state.h"

namespace {

const std::string kRootReport = KORVANEL_BINARY_DIR "/bin/root_report";

struct Outcome {
  bool result = false;
  std::string out;  // standard output, progress dots removed
  std::string err;
};

Outcome run(const std::function<bool()>& body) {
  Outcome outcome;
  outcome.err = captureStderr([&] { outcome.out = captureStdout([&] { outcome.result = body(); }); });
  outcome.out = withoutDots(outcome.out);
  return outcome;
}

Outcome install(const DriveInfo& drive, bool keepConfig) {
  DriveInfo target = drive;
  return run([&] { return installSystem(target, keepConfig); });
}

Outcome finish(const DriveInfo& drive) {
  return run([&] {
    EXPECT_TRUE(finishInstallation(drive));
    return true;
  });
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// What debugfs (not the kernel) reads from a partition.
std::string debugfs(const std::string& partition, const std::string& request) {
  return shell("debugfs -R '" + request + "' " + partition + " 2>/dev/null");
}

// Puts the stand-ins into the new system mounted on /mnt, as packages would
// have brought the real programs.
void addNewSystemPrograms() {
  int status;
  shell("mkdir -p /mnt/bin /mnt/sbin /mnt/etc/rc.d && cp " + kRootReport + " /mnt/bin/bash && cp " +
            kRootReport + " /mnt/sbin/fsck && echo 'the new system' > /mnt/marker",
        &status);
  ASSERT_EQ(status, 0);
}

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    logConsolePath = log_.path();
    signal(SIGPIPE, SIG_IGN);  // as in the installer: a tool that is gone fails writes
    ASSERT_FALSE(partitioningTool().empty()) << "bin/sfdisk is missing from the build";
    sfdisk_.emplace(ToolStandIn::copyOf("/sbin/sfdisk", partitioningTool()));
  }
  void TearDown() override { EXPECT_EQ(activeChildPid, -1); }

  // A previous installation: the layout installed, optionally a random
  // configuration store; returns the store's description, then unmounts.
  TreeDescription oldInstallation(const DriveInfo& drive, bool withStore) {
    Outcome outcome = install(drive, false);
    EXPECT_TRUE(outcome.result) << outcome.out;
    TreeDescription store;
    if (withStore) {
      buildRandomTree("/mnt/tarn/store", 11, 400);
      store = describeTree("/mnt/tarn/store");
    }
    (void)umount("/mnt/boot");
    EXPECT_EQ(umount("/mnt"), 0);
    return store;
  }

  LogConsole log_;
  std::optional<ToolStandIn> sfdisk_;
};

// The new system as the driver leaves it mounted.
void expectMountedNewSystem(const DriveInfo& drive) {
  EXPECT_EQ(readFile("/mnt/etc/fstab"), fstabText(drive));
  EXPECT_EQ(readFile("/mnt/etc/lilo.conf"), liloConfText(drive));
  EXPECT_EQ(modeOf("/mnt/etc/fstab") & 07777, 0644u);
  EXPECT_EQ(modeOf("/mnt/etc/lilo.conf") & 07777, 0644u);
  EXPECT_EQ(modeOf("/mnt/.nofsck") != 0, drive.over40MiB);
  for (const char* dir : {"/mnt/tarn", "/mnt/tarn/etc", "/mnt/var", "/mnt/var/pdb"}) {
    EXPECT_EQ(modeOf(dir), S_IFDIR | 0755) << dir;
  }
}

TEST_F(Installation, SingleLayoutExt3FromBlankDiskToCheckedFileSystem) {
  LoopDisk disk("hda", 16);
  DriveInfo drive = disk.drive();
  Outcome installed = install(drive, false);
  ASSERT_TRUE(installed.result) << installed.out;
  EXPECT_EQ(installed.out, "Creating partition...\nFormatting disk...\n");
  EXPECT_EQ(installed.err, "");
  EXPECT_EQ(targetMounts(), (std::vector<std::string>{"/dev/hda1 /mnt ext3"}));
  expectMountedNewSystem(drive);

  addNewSystemPrograms();
  log_.take();  // what the tools said while installing
  Outcome finished = finish(drive);
  EXPECT_EQ(finished.out, "Checking disk integrity...\n");
  EXPECT_EQ(log_.take(),
            "/bin/bash -c /etc/rc.d/rc.postinstall | root rw | marker the new system\n"
            "/sbin/fsck -d -v | root ro | marker the new system\n");
  EXPECT_EQ(targetMounts(), std::vector<std::string>{});

  std::vector<std::string> parts = lines(partitionTable(disk));
  ASSERT_EQ(parts.size(), 1u);
  expectCylinders(parts[0], 0, 16, /*bootable=*/true);
  EXPECT_TRUE(journalled(disk.partition(1)));
  EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
  EXPECT_EQ(debugfs(disk.partition(1), "cat /etc/fstab"), fstabText(drive));
  EXPECT_EQ(debugfs(disk.partition(1), "cat /etc/lilo.conf"), liloConfText(drive));
  EXPECT_NE(debugfs(disk.partition(1), "stat /var/pdb").find("Type: directory"), std::string::npos);
}

TEST_F(Installation, SingleLayoutExt2OnASmallDisk) {
  LoopDisk disk("hda", 5);
  DriveInfo drive = disk.drive();
  ASSERT_FALSE(drive.over40MiB);
  Outcome installed = install(drive, false);
  ASSERT_TRUE(installed.result) << installed.out;
  EXPECT_EQ(targetMounts(), (std::vector<std::string>{"/dev/hda1 /mnt ext2"}));
  expectMountedNewSystem(drive);
  addNewSystemPrograms();
  EXPECT_EQ(finish(drive).out, "Checking disk integrity...\n");
  EXPECT_FALSE(journalled(disk.partition(1)));
  EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
}

TEST_F(Installation, TwoPartitionLayoutWithBootPartition) {
  LoopDisk disk("hda", 1030);
  DriveInfo drive = disk.drive();
  Outcome installed = install(drive, false);
  ASSERT_TRUE(installed.result) << installed.out;
  EXPECT_EQ(installed.out, "Creating partition...\nFormatting disk...\n");
  EXPECT_EQ(targetMounts(),
            (std::vector<std::string>{"/dev/hda2 /mnt ext3", "/dev/hda1 /mnt/boot ext2"}));
  expectMountedNewSystem(drive);

  addNewSystemPrograms();
  log_.take();  // what the tools said while installing
  Outcome finished = finish(drive);
  EXPECT_EQ(finished.out, "") << "no check in this layout";
  EXPECT_EQ(log_.take(), "/bin/bash -c /etc/rc.d/rc.postinstall | root rw | marker the new system\n");
  EXPECT_EQ(targetMounts(), std::vector<std::string>{});

  std::vector<std::string> parts = lines(partitionTable(disk));
  ASSERT_EQ(parts.size(), 2u);
  expectCylinders(parts[0], 0, 2, /*bootable=*/true);
  expectCylinders(parts[1], 2, 1030, /*bootable=*/false);
  EXPECT_FALSE(journalled(disk.partition(1)));
  EXPECT_TRUE(journalled(disk.partition(2)));
  EXPECT_EQ(checkFileSystem(disk.partition(1)), 0);
  EXPECT_EQ(checkFileSystem(disk.partition(2)), 0);
  EXPECT_EQ(debugfs(disk.partition(2), "cat /etc/fstab"), fstabText(drive));
  EXPECT_NE(debugfs(disk.partition(2), "stat /boot").find("Type: directory"), std::string::npos);
}

TEST_F(Installation, KeptConfigurationComesBackAfterRepartitioningAndFormatting) {
  LoopDisk disk("hda", 1030);
  DriveInfo drive = disk.drive();
  TreeDescription before = oldInstallation(drive, /*withStore=*/true);
  ASSERT_GT(before.size(), 400u);

  Outcome installed = install(drive, true);
  ASSERT_TRUE(installed.result) << installed.out;
  EXPECT_EQ(installed.out,
            "Reading old configuration...\n"
            "Creating partition...\n"
            "Formatting disk...\n"
            "Writing back old configuration...\n");
  EXPECT_EQ(installed.err, "");
  EXPECT_EQ(treeDifferences(before, describeTree("/mnt/tarn/store")), "");
  expectMountedNewSystem(drive);
}

TEST_F(Installation, NothingToKeepPrintsNothingAboutIt) {
  LoopDisk disk("hda", 16);
  DriveInfo drive = disk.drive();
  Outcome blank = install(drive, true);
  ASSERT_TRUE(blank.result);
  EXPECT_EQ(blank.out, "Creating partition...\nFormatting disk...\n") << "a blank disk";
  ASSERT_EQ(umount("/mnt"), 0);

  oldInstallation(drive, /*withStore=*/false);
  Outcome withoutStore = install(drive, true);
  ASSERT_TRUE(withoutStore.result);
  EXPECT_EQ(withoutStore.out, "Creating partition...\nFormatting disk...\n")
      << "an old installation without a configuration store";
  EXPECT_NE(modeOf("/mnt/tarn"), 0u);
  EXPECT_EQ(modeOf("/mnt/tarn/store"), 0u);
}

TEST_F(Installation, AStoreThatCannotBeCapturedIsReportedAndLeftBehind) {
  LoopDisk disk("hda", 5);
  DriveInfo drive = disk.drive();
  ASSERT_TRUE(install(drive, false).result);
  ASSERT_EQ(mkdir("/mnt/tarn/store", 0755), 0);
  ASSERT_EQ(symlink("/nowhere", "/mnt/tarn/store/dangling"), 0);
  ASSERT_EQ(umount("/mnt"), 0);

  Outcome installed = install(drive, true);
  ASSERT_TRUE(installed.result);
  EXPECT_EQ(installed.out,
            "Reading old configuration...\n"
            "ERROR: couldn't keep config - probably not enough memory\n"
            "Creating partition...\n"
            "Formatting disk...\n");
  EXPECT_EQ(modeOf("/mnt/tarn/store"), 0u);
}

// Stand-ins for mke2fs that build the file system the real way but with
// something already in it, so that a later step finds an obstacle.
std::string mke2fsWithTemplate() {
  return "exec /sbin/mke2fs.original -q -d /run/template \"$@\"";
}

void makeTemplate(const std::string& commands) {
  int status;
  shell("rm -rf /run/template && mkdir -p /run/template && cd /run/template && " + commands, &status);
  ASSERT_EQ(status, 0);
}

TEST_F(Installation, AFailedWriteBackIsReportedButTheInstallationGoesOn) {
  LoopDisk disk("hda", 5);
  DriveInfo drive = disk.drive();
  oldInstallation(drive, /*withStore=*/true);
  makeTemplate("mkdir -p tarn/store");  // the store's top exists already
  ToolStandIn mke2fs("/sbin/mke2fs", mke2fsWithTemplate());
  Outcome installed = install(drive, true);
  EXPECT_TRUE(installed.result);
  EXPECT_EQ(installed.out,
            "Reading old configuration...\n"
            "Creating partition...\n"
            "Formatting disk...\n"
            "Writing back old configuration...\n"
            "ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
}

TEST_F(Installation, EachFailingStepPrintsItsOneLine) {
  LoopDisk disk("hda", 5);
  DriveInfo drive = disk.drive();
  const std::string steps = "Creating partition...\nFormatting disk...\n";

  activeChildPid = 99999;  // the one piped child slot is taken
  Outcome busy = install(drive, false);
  activeChildPid = -1;
  EXPECT_FALSE(busy.result);
  EXPECT_EQ(busy.out, "Creating partition...\nERROR: could not create partitions\n");

  {
    ToolStandIn mke2fs("/sbin/mke2fs", "exit 1");
    Outcome failed = install(drive, false);
    EXPECT_FALSE(failed.result);
    EXPECT_EQ(failed.out, steps + "ERROR: could not format partitions\n");
  }
  {
    ToolStandIn mke2fs("/sbin/mke2fs", "exit 0");  // "formats" nothing
    Outcome failed = install(drive, false);
    EXPECT_FALSE(failed.result);
    EXPECT_EQ(failed.out, steps + "ERROR: could not mount filesystem\n");
    EXPECT_EQ(targetMounts(), std::vector<std::string>{});
  }
  ToolStandIn mke2fs("/sbin/mke2fs", mke2fsWithTemplate());
  makeTemplate("touch etc");  // neither file can be created: lilo.conf is first
  Outcome noEtc = install(drive, false);
  EXPECT_FALSE(noEtc.result);
  EXPECT_EQ(noEtc.out, steps + "ERROR: could not create lilo.conf\n");
  EXPECT_EQ(targetMounts(), (std::vector<std::string>{"/dev/hda1 /mnt ext2"})) << "left mounted";
  ASSERT_EQ(umount("/mnt"), 0);

  makeTemplate("mkdir -p etc/fstab");
  Outcome noFstab = install(drive, false);
  EXPECT_FALSE(noFstab.result);
  EXPECT_EQ(noFstab.out, steps + "ERROR: could not create fstab\n");
  ASSERT_EQ(umount("/mnt"), 0);

  makeTemplate("touch tarn");
  Outcome noTarn = install(drive, false);
  EXPECT_TRUE(noTarn.result) << "base directories that fail do not stop the installation";
  EXPECT_EQ(noTarn.out, steps);
  EXPECT_EQ(noTarn.err, "/tarn: File exists\n/tarn/etc: Not a directory\n");
  EXPECT_EQ(modeOf("/mnt/var/pdb"), S_IFDIR | 0755);
}

}  // namespace
