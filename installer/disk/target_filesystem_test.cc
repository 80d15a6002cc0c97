// The configuration files of the new system, written into scratch
// directories. mountTarget runs on loop devices in the sandbox.
#include "disk/target_filesystem.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk_test_support.h"

namespace {

DriveInfo drive(const char* device, uint32_t cylinders, uint32_t heads) {
  DriveInfo info;
  EXPECT_TRUE(info.setDevice(device));
  info.setGeometry(cylinders, heads * 63 * 512);
  return info;
}

const DriveInfo kSingleExt2 = drive("/dev/hda", 80, 16);     // 41,287,680 bytes
const DriveInfo kSingleExt3 = drive("/dev/hda", 1023, 16);   // 527,966,208 bytes
const DriveInfo kTwoExt3 = drive("/dev/sda", 1024, 255);
const DriveInfo kTwoExt2 = drive("/dev/hdb", 1024, 1);       // 32 MiB over 1024 cylinders

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(ConfigurationText, FstabForEachLayoutAndFileSystem) {
  EXPECT_EQ(fstabText(kSingleExt2),
            "/dev/hda1  /     ext2 defaults 1 1\n"
            "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(fstabText(kSingleExt3),
            "/dev/hda1  /     ext3 defaults 1 1\n"
            "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(fstabText(kTwoExt3),
            "/dev/sda2  /     ext3 defaults 1 1\n"
            "/dev/sda1  /boot ext2 defaults 1 2\n"
            "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(fstabText(kTwoExt2),
            "/dev/hdb2  /     ext2 defaults 1 1\n"
            "/dev/hdb1  /boot ext2 defaults 1 2\n"
            "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
}

TEST(ConfigurationText, LiloBootsFromPartitionOneAndNamesTheRoot) {
  EXPECT_EQ(liloConfText(kSingleExt3),
            "boot=/dev/hda1\n"
            "map=/boot/map\n"
            "install=/boot/boot.b\n"
            "lba32\n"
            "image=/boot/vmlinuz\n"
            "  label=System\n"
            "  root=/dev/hda1\n"
            "  read-only\n");
  EXPECT_EQ(liloConfText(kTwoExt2),
            "boot=/dev/hdb1\n"
            "map=/boot/map\n"
            "install=/boot/boot.b\n"
            "lba32\n"
            "image=/boot/vmlinuz\n"
            "  label=System\n"
            "  root=/dev/hdb2\n"
            "  read-only\n");
}

TEST(ConfigurationFiles, WrittenWithMode0644AndTheMarkerExactlyForExt3) {
  mode_t savedMask = umask(077);  // the files' mode must not depend on it
  for (const DriveInfo* info : {&kSingleExt2, &kSingleExt3, &kTwoExt2, &kTwoExt3}) {
    ScratchDirectory root;
    ASSERT_TRUE(writeLiloConf(*info, root.path().c_str()));
    ASSERT_TRUE(writeFstab(*info, root.path().c_str()));
    EXPECT_EQ(readFile(root.path() + "/etc/fstab"), fstabText(*info));
    EXPECT_EQ(readFile(root.path() + "/etc/lilo.conf"), liloConfText(*info));
    EXPECT_EQ(modeOf(root.path() + "/etc/fstab"), 0644u);
    EXPECT_EQ(modeOf(root.path() + "/etc/lilo.conf"), 0644u);
    EXPECT_EQ(exists(root.path() + "/.nofsck"), info->over40MiB);
    if (info->over40MiB) {
      EXPECT_EQ(readFile(root.path() + "/.nofsck"), "");
    }
  }
  umask(savedMask);
}

TEST(ConfigurationFiles, ExistingFilesAreReplacedAndAnExistingEtcIsKept) {
  ScratchDirectory root;
  ASSERT_EQ(mkdir((root.path() + "/etc").c_str(), 0700), 0);
  writeFile(root.path() + "/etc/fstab", std::string(1000, 'x'), 0600);
  ASSERT_TRUE(writeFstab(kSingleExt2, root.path().c_str()));
  EXPECT_EQ(readFile(root.path() + "/etc/fstab"), fstabText(kSingleExt2));
  EXPECT_EQ(modeOf(root.path() + "/etc"), 0700u);
}

TEST(ConfigurationFiles, FailWhenTheFileCannotBeCreated) {
  ScratchDirectory scratch;
  std::string missing = scratch.path() + "/no/such/root";
  EXPECT_FALSE(writeFstab(kSingleExt3, missing.c_str()));
  EXPECT_FALSE(writeLiloConf(kSingleExt3, missing.c_str()));

  // fstab a directory: nothing to open for writing; no marker either.
  ASSERT_EQ(mkdir((scratch.path() + "/etc").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((scratch.path() + "/etc/fstab").c_str(), 0755), 0);
  EXPECT_FALSE(writeFstab(kSingleExt3, scratch.path().c_str()));
  EXPECT_FALSE(exists(scratch.path() + "/.nofsck"));
}

TEST(ConfigurationFiles, RootsTooLongForThePathBufferAreRefusedNotCut) {
  ScratchDirectory scratch;
  // "<root>/etc" fits in 80 bytes, "<root>/etc/lilo.conf" does not: a cut
  // path would create "<root>/etc/lilo.c" or similar.
  std::string root = scratch.path() + "/" + std::string(75 - scratch.path().size() - 1, 'r');
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  EXPECT_FALSE(writeLiloConf(kSingleExt2, root.c_str()));
  EXPECT_FALSE(writeFstab(kSingleExt2, root.c_str()));
  EXPECT_EQ(system(("test -z \"$(find '" + root + "' -type f)\"").c_str()), 0)
      << "no file may be written under a cut name";
}

TEST(ConfigurationFiles, AFullDiskIsAFailureNotACutFile) {
  // The file size limit stands in for a full disk: the data fit in the
  // stream's buffer and only its flush at close fails.
  ScratchDirectory root;
  int result = runInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {40, 40};
    setrlimit(RLIMIT_FSIZE, &limit);
    bool lilo = writeLiloConf(kTwoExt3, root.path().c_str());
    bool fstab = writeFstab(kTwoExt3, root.path().c_str());
    return (lilo ? 1 : 0) + (fstab ? 2 : 0);
  });
  EXPECT_EQ(result, 0) << "1: lilo.conf, 2: fstab reported as written";
}

}  // namespace
