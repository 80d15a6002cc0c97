#include "startup/dispatch.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console/terminal.h"
#include "flows/cdrom_installation.h"
#include "flows/disk_installation.h"
#include "flows/network_installation.h"
#include "hardware/drive_detection.h"
#include "hardware/module_loader.h"
#include "packages/package_key_file.h"
#include "startup/process_state.h"

namespace {
constexpr const char* kTypeFile = "/TYPE";
constexpr const char* kLicenseMarker = "/mnt/SHOW_LICENSE";
}  // namespace

bool hasHardDiskSwitch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-hdd-install") == 0) return true;
  }
  return false;
}

void readTypeText(const char* path, char (&text)[kTypeTextSize]) {
  text[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == nullptr) return;
  if (fgets(text, kTypeTextSize, file) == nullptr) text[0] = '\0';
  fclose(file);
  text[strcspn(text, "\n")] = '\0';
}

InstallationMode selectMode(bool hardDiskSwitch, const char* typeText) {
  if (hardDiskSwitch) return InstallationMode::HardDisk;
  if (strcmp(typeText, "cdrom") == 0) return InstallationMode::Cdrom;
  if (strcmp(typeText, "net") == 0) return InstallationMode::Network;
  return InstallationMode::Unknown;
}

void runInstallation(DriveInfo& target, int argc, char** argv) {
  bool hardDisk = hasHardDiskSwitch(argc, argv);
  char type[kTypeTextSize];
  readTypeText(kTypeFile, type);  // read whether or not the switch was given
  // Once, for every package of the run; a broken key file shows as refused
  // packages, so that no package is installed unchecked against its will.
  (void)loadPackageKey(kPackageKeyPath);

  bool prompt = true;
  switch (selectMode(hardDisk, type)) {
    case InstallationMode::HardDisk:
      prompt = !runDiskInstallation(target);
      break;
    case InstallationMode::Cdrom:
      (void)runLocalInstallation(target);  // this mode always asks before restarting
      break;
    case InstallationMode::Network:
      prompt = !runNetworkInstallation(target);
      break;
    case InstallationMode::Unknown:
      puts("FATAL ERROR: internal error");
      break;
  }

  int marker = open(kLicenseMarker, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (marker >= 0) close(marker);
  (void)umount("/floppy");  // nothing may be mounted there: not an error
  (void)umount("/mnt");
  installationFinished = 1;

  if (prompt) {
    puts("Press ENTER to reboot");
    terminal->waitForEnter();
  }
}

bool runLocalInstallation(DriveInfo& target) {
  terminal->enterRawMode();
  puts("Loading drivers");
  loadModules(storageModules);
  loadModules(usbModules);
  if (!findHardDrive(target)) return false;
  return runCdromInstallation(target);
}
