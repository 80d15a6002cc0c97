// The network installation from the welcome screen to the closing wait:
// drivers from the server, the target disk, the server's offer, the disk
// preparation, then file after file, each script written into the new
// system and each package streamed into its own installer child.
#include "flows/network_installation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console/screens.h"
#include "disk/boot_sector.h"
#include "disk/install_driver.h"
#include "flows/disk_label.h"
#include "flows/new_system.h"
#include "hardware/drive_detection.h"
#include "hardware/module_loader.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "packages/package_key_file.h"
#include "startup/process_state.h"

namespace {

constexpr const char* kTargetRoot = "/mnt";
constexpr const char* kInstalledMarker = "/mnt/CDINSTALL";
constexpr const char* kScriptSuffix = ".scr";
constexpr const char* kUnwantedScriptPath = "/empty";
// The texts "DSCV" carries besides the label; this installer has nothing to
// say in them. The long one also receives the accepted offer's text.
constexpr size_t kOpaqueShortSize = 10;
constexpr size_t kOpaqueLongSize = 512;

bool fail(const char* message) {
  puts(message);
  return false;
}

// The disk drivers for the running kernel come from the server and go into
// the running system before the module lists load.
bool loadDriversFromServer(InstallClient& client) {
  puts("");
  puts("Waiting for drivers...");
  if (!client.retrieveDrivers()) return fail("\nFATAL ERROR: could not retrieve disk drivers");
  puts("Retrieving drivers...");
  if (!receiveToInstaller(client, /*installRoot=*/nullptr, /*intoTarget=*/false)) return false;
  puts("Loading drivers");
  loadModules(storageModules);
  loadModules(usbModules);
  return true;
}

// Every file the server has, until it says there is none left.
bool receiveFiles(InstallClient& client) {
  char name[kNetworkFileNameSize];
  int mark = 0;
  for (;;) {
    switch (client.nextFile(name, sizeof name, &mark)) {
      case NextFile::end:
        return true;
      case NextFile::failed:
        return false;  // the line has been printed
      case NextFile::file:
        break;
    }
    bool received;
    if (isConfigurationScript(name)) {
      if (mark != 0 && onlySignedPackages()) {
        // A script carries no signature, and any server that answers first
        // can send one: where only signed packages go in, no script goes
        // into the new system (a signed package can carry it instead).
        char shown[kFileNameSize];
        printableName(name, shown);
        printf("\nFATAL ERROR: the server sent the script %s, but only signed packages are "
               "installed\n", shown);
        return false;
      }
      char path[kScriptPathSize];
      if (!scriptPath(name, mark, path, sizeof path)) {
        return fail("\nFATAL ERROR: couldn't make a file");  // cannot happen with 31 characters
      }
      puts("Writing configuration...");
      received = receiveToFile(client, path);
    } else {
      received = receiveToInstaller(client, kTargetRoot, /*intoTarget=*/true);
    }
    if (!received) return false;
  }
}

bool installOverNetwork(InstallClient& client, DriveInfo& target) {
  showWelcome("remote installation");
  client.open();
  if (!client.hasInterfaces()) return fail("\nFATAL ERROR: no network card found");
  puts("");
  for (uint32_t i = 0; const char* mac = client.macAddressText(i); ++i) {
    printf("mac-address: %s\n", mac);
  }

  if (!loadDriversFromServer(client)) return false;
  if (!findHardDrive(target)) return false;

  char opaqueShort[kOpaqueShortSize] = "";
  char opaqueLong[kOpaqueLongSize] = "";
  char label[kDiskLabelSize] = {};
  // The boot code goes in only once a server has been found: until then the
  // disk stays as it was.
  uint8_t sector[kSectorSize];
  bool haveSector = readBootSector(target.device, sector);
  if (haveSector) layBootCode(sector);
  readDiskLabel(label, sizeof label);
  printf("disk label: %s\n", label);
  puts("");

  bool keep = false;
  for (;;) {
    puts("");
    puts("Waiting for installation server...");
    if (client.findServer(opaqueShort, opaqueLong, label, opaqueLong, sizeof opaqueLong, keep)) {
      break;
    }
    puts("");
    puts("Couldn't find any installation server on network");
  }
  // A failed write leaves the old first sector; the run goes on regardless.
  if (haveSector) (void)writeBootSector(target.device, sector);
  printf("Found server at %s\n", client.serverAddressText());
  puts("");

  if (!installSystem(target, keep)) return false;
  puts("");
  if (!client.startInstallation()) return fail("\nFATAL ERROR: server refused to install");
  if (!receiveFiles(client)) return false;

  int marker = open(kInstalledMarker, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (marker >= 0) close(marker);  // a missing marker is not worth a failure
  if (!completeNewSystem(target)) return false;  // it said why
  installationFinished = 1;
  puts("");
  puts("Software installed.");
  puts("Press ENTER to reboot");
  fflush(stdout);  // on the console before the wait, whatever stdout is
  client.awaitTermination();
  return true;
}

}  // namespace

bool isConfigurationScript(const char* name) {
  size_t length = strlen(name);
  size_t suffix = strlen(kScriptSuffix);
  return length > suffix && strcmp(name + length - suffix, kScriptSuffix) == 0;
}

bool scriptPath(const char* name, int mark, char* path, size_t capacity) {
  int length = mark == 0 ? snprintf(path, capacity, "%s", kUnwantedScriptPath)
                         : snprintf(path, capacity, "%s/%s", kTargetRoot, name);
  return length >= 0 && static_cast<size_t>(length) < capacity;
}

bool runNetworkInstallation(DriveInfo& target) {
  InstallClient client;
  bool installed = installOverNetwork(client, target);
  client.close();
  return installed;
}
