#include "flows/cdrom_installation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <list>

#include "common/retry_io.h"
#include "console/package_menu.h"
#include "console/screens.h"
#include "disk/boot_sector.h"
#include "disk/command_runner.h"
#include "disk/install_driver.h"
#include "flows/new_system.h"
#include "flows/package_feed.h"
#include "flows/release_steps.h"
#include "packages/installation_release.h"
#include "packages/package_installer.h"
#include "packages/package_set.h"

namespace {

// IDE drives only: a CD drive is found by trying to mount it.
constexpr const char* kCdromCandidates[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd"};
constexpr const char* kCdInstallMarker = "/mnt/CDINSTALL";
constexpr mode_t kMarkerMode = 0600;

bool mountCdrom(SourceMedium& medium) {
  for (const char* device : kCdromCandidates) {
    if (medium.mountCdrom(device)) return true;
  }
  return false;
}

const char* fileName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Streams the package file from the CD into its own installer child,
// checked against the followed release as it passes (when there is one).
bool installPackage(const PackageFile& package) {
  ReleasedFileCheck release;
  if (!release.begin(fileName(package.path), ReleaseFileKind::package)) return false;
  FILE* installer = startPackageInstaller(kNewSystemRoot, /*runningSystem=*/false);
  if (installer == nullptr) {
    puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  int file = open(package.path.c_str(), O_RDONLY | O_CLOEXEC);
  char block[kPackageBlock];
  for (;;) {
    ssize_t count = file < 0 ? -1 : readRetrying(file, block, sizeof block);
    if (count < 0) {
      (void)finishCommand(installer);  // the package is cut short whatever the child says
      if (file >= 0) close(file);
      puts("\nFATAL ERROR: corrupted CD-ROM");
      return false;
    }
    if (count == 0) {
      close(file);
      if (!release.finish()) {
        cancelPackageInstaller(installer);
        return false;
      }
      return finishPackage(installer, package);
    }
    if (!release.update(block, static_cast<size_t>(count))) {
      close(file);
      cancelPackageInstaller(installer);
      return false;
    }
    if (!feedPackage(installer, block, static_cast<size_t>(count))) {
      close(file);
      abandonPackage(installer, package);
      return false;
    }
  }
}

}  // namespace

bool runCdromInstallationWith(DriveInfo& drive, SourceMedium& medium) {
  if (!mountCdrom(medium)) {
    puts("\nFATAL ERROR: no CD-ROM found");
    return false;
  }
  PackageSet packages;
  if (!packages.scanDirectory(kSourceMountPoint)) return false;  // it said why
  if (!takeReleaseFromMedium("CD")) return false;                // it said why
  if (!runMenu(packages)) {
    puts("Installation canceled");
    return false;
  }
  bool keepConfig = askKeepConfiguration();
  if (!confirmErase()) return false;
  if (!checkKeptRelease(drive, keepConfig)) return false;  // it said why

  // A disk whose first sector cannot be read keeps it; the partitioning
  // that follows decides whether the disk can be used at all.
  (void)installBootCode(drive.device);
  if (!installSystem(drive, keepConfig)) return false;  // it said why

  puts("");
  std::list<PackageFile*> order;
  packages.installOrder(order);
  for (const PackageFile* package : order) {
    if (!installPackage(*package)) return false;
  }

  if (!recordNewSystemRelease()) return false;  // it said why
  int marker = open(kCdInstallMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kMarkerMode);
  if (marker >= 0) close(marker);  // a missing marker does not spoil the installation
  if (!completeNewSystem(drive)) return false;  // it said why
  puts("");
  puts("Software installed.");
  return true;
}

bool runCdromInstallation(DriveInfo& drive) {
  return runCdromInstallationWith(drive, systemSourceMedium());
}
