#include "flows/disk_installation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <vector>

#include "common/retry_io.h"
#include "console/package_menu.h"
#include "console/screens.h"
#include "disk/boot_sector.h"
#include "disk/install_driver.h"
#include "flows/file_image.h"
#include "flows/new_system.h"
#include "flows/package_feed.h"
#include "hardware/drive_detection.h"
#include "hardware/module_loader.h"
#include "packages/package_installer.h"
#include "packages/package_key_file.h"
#include "packages/package_set.h"
#include "startup/progress.h"

namespace {

constexpr const char* kMbrFile = "/floppy/mbr";
constexpr const char* kScriptFile = "/floppy/autorun.scr";
constexpr const char* kChooseMarker = "/floppy/CHOOSE";
constexpr const char* kNewSystemScript = "/mnt/autorun.scr";

bool exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Mounts the first disk that carries both "mbr" and "autorun.scr" and
// returns its path, or null after twenty passes a second apart.
const char* findSourceDisk(SourceMedium& medium, Sleeper& sleeper) {
  startProgress("Looking for harddrives...");
  for (int pass = 0; pass < kDriveSearchAttempts; ++pass) {
    for (int i = 0; knownDrivePaths[i] != nullptr; ++i) {
      if (!medium.mountDisk(knownDrivePaths[i])) continue;
      if (exists(kMbrFile) && exists(kScriptFile)) {
        endProgress();
        return knownDrivePaths[i];
      }
      (void)medium.unmount();  // a FAT disk of some other use: try the next
    }
    sleeper.sleepSeconds(1);
  }
  endProgress();
  return nullptr;
}

bool chooseMode() {
  int marker = open(kChooseMarker, O_RDONLY | O_CLOEXEC);
  if (marker < 0) return false;
  close(marker);
  return true;
}

bool fail(const char* message) {
  puts(message);
  return false;
}

// Reads every package of `order` into `images`, in order.
bool readPackages(const std::list<PackageFile*>& order, std::vector<FileImage>& images) {
  for (const PackageFile* package : order) {
    printf("Reading: %s...", package->getFullName().c_str());
    startProgress("");  // the dots follow the name
    images.emplace_back();
    bool loaded = images.back().loadFile(package->path.c_str());
    endProgress();
    if (!loaded) {
      printf("\nFATAL ERROR: could not read file %s\n", package->path.c_str());
      return false;
    }
  }
  return true;
}

// The 512 bytes of "mbr" into `sector`.
bool readMbrFile(uint8_t (&sector)[kSectorSize]) {
  int fd = open(kMbrFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("\nFATAL ERROR: Couldn't open mbr file");
  bool complete = readAll(fd, sector, kSectorSize);
  close(fd);
  if (!complete) return fail("\nFATAL ERROR: Couldn't read mbr file");
  return true;
}

// The drive scan's record of `device`, copied into `drive`.
bool identifyDisk(const char* device, DriveInfo& drive) {
  const DriveInfo* table = scanDrives();
  for (int i = 0; table != nullptr && i < kDriveTableSize; ++i) {
    if (strcmp(table[i].device, device) == 0) {
      drive = table[i];
      return true;
    }
  }
  return fail("\nFATAL ERROR: Couldn't find the disk!");
}

bool writeFirstSector(SourceMedium& medium, const char* device, const uint8_t (&sector)[kSectorSize]) {
  int fd = medium.openForWriting(device);
  if (fd < 0) return fail("\nFATAL ERROR: Couldn't open disk");
  // Partitioning reads the sector back at once: it must have reached the disk.
  bool written = writeAll(fd, sector, kSectorSize) && fsync(fd) == 0;
  if (close(fd) != 0) written = false;
  if (!written) return fail("\nFATAL ERROR: Couldn't write to disk");
  return true;
}

bool installImage(FileImage& image, const PackageInfo& package) {
  FILE* installer = startPackageInstaller(kNewSystemRoot, /*runningSystem=*/false);
  if (installer == nullptr) return fail("\nFATAL ERROR: Couldn't start install");
  char block[kPackageBlock];
  while (size_t count = image.readChunk(block, sizeof block)) {
    if (!feedPackage(installer, block, count)) {
      abandonPackage(installer, package);
      return false;
    }
  }
  bool installed = finishPackage(installer, package);
  image.release();
  return installed;
}

// Where only signed packages go in, nothing unsigned from the medium may go
// into the new system beside them: a configuration script travels in a
// signed package and the medium's autorun.scr stays empty, and a first
// sector is taken only when it holds the installer's own boot code (which
// the trusted boot medium brought). `sector` is null when none is written.
bool checkUnsignedFiles(const FileImage& script, const uint8_t* sector) {
  if (!onlySignedPackages()) return true;
  if (script.size() != 0) {
    return fail("\nFATAL ERROR: the medium carries the script autorun.scr, but only signed "
                "packages are installed");
  }
  if (sector != nullptr) {
    uint8_t own[kSectorSize];
    memcpy(own, sector, kSectorSize);
    layBootCode(own);
    if (memcmp(own, sector, kPartitionTableOffset) != 0) {
      return fail("\nFATAL ERROR: the medium's mbr is not the installer's boot code, but only "
                  "signed packages are installed");
    }
  }
  return true;
}

bool writeScript(const FileImage& script) {
  FILE* file = fopen(kNewSystemScript, "w");
  if (file == nullptr) return fail("\nFATAL ERROR: couldn't make script");
  bool written = script.size() == 0 || fwrite(script.data(), script.size(), 1, file) == 1;
  // fclose writes what is still buffered: its failure loses the script too.
  if (fclose(file) != 0) written = false;
  if (!written) return fail("\nFATAL ERROR: Writing configuration failed");
  return true;
}

}  // namespace

bool runDiskInstallationWith(DriveInfo& drive, SourceMedium& medium, Sleeper& sleeper) {
  showWelcome("hard disk installation");
  puts("");
  puts("Loading drivers");
  loadModules(storageModules);
  loadModules(usbModules);

  const char* source = findSourceDisk(medium, sleeper);
  if (source == nullptr) return fail("\nFATAL ERROR: No hard disk found");
  bool choose = chooseMode();

  PackageSet packages;
  if (!packages.scanDirectory(kSourceMountPoint)) return false;  // it said why
  if (choose) {
    if (!runMenu(packages)) return fail("Installation canceled");
  } else {
    packages.selectAll();
  }
  std::list<PackageFile*> order;
  packages.installOrder(order);
  if (order.size() > kMaxPackageImages) {
    printf("\nFATAL ERROR: %zu packages chosen, but at most %u can be installed from a hard disk\n",
           order.size(), kMaxPackageImages);
    return false;
  }

  std::vector<FileImage> images;
  images.reserve(order.size());
  if (!readPackages(order, images)) return false;
  FileImage script;
  if (!script.loadFile(kScriptFile)) return fail("\nFATAL ERROR: could not read configuration");
  uint8_t sector[kSectorSize];
  if (!choose && !readMbrFile(sector)) return false;
  if (!checkUnsignedFiles(script, choose ? nullptr : sector)) return false;
  (void)medium.unmount();  // a disk left mounted fails its partitioning below

  // Only a disk the drive scan knows can be installed: the source is looked
  // up before its first sector, and with it the file system holding the
  // installation files, is overwritten.
  if (!identifyDisk(source, drive)) return false;
  if (!choose && !writeFirstSector(medium, source, sector)) return false;
  // With the menu the medium brings no first sector for the new system, and
  // what is there is the medium's own FAT boot record: with the new partition
  // table written over its tail it could start nothing. The new system gets
  // the built-in boot code, as from a CD.
  if (choose) (void)installBootCode(source);  // a CD installation goes on without it too

  puts("");
  if (!installSystem(drive, /*keepConfig=*/false)) return false;  // it said why
  puts("");
  auto image = images.begin();
  for (const PackageFile* package : order) {
    if (!installImage(*image++, *package)) return false;
  }
  if (!writeScript(script)) return false;
  if (!completeNewSystem(drive)) return false;  // it said why
  puts("");
  puts("Software installed.");
  sleeper.sleepSeconds(2);
  return true;
}

bool runDiskInstallation(DriveInfo& drive) {
  return runDiskInstallationWith(drive, systemSourceMedium(), systemSleeper());
}
