// The network installation from the welcome screen to the closing wait:
// drivers from the server, the target disk, the server's offer, the disk
// preparation, then file after file, each script written into the new
// system and each package streamed into its own installer child.
#include "flows/network_installation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/screens.h"
#include "disk/boot_sector.h"
#include "disk/install_driver.h"
#include "flows/disk_label.h"
#include "flows/new_system.h"
#include "flows/release_steps.h"
#include "hardware/drive_detection.h"
#include "hardware/module_loader.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/mac_address.h"
#include "packages/installation_release.h"
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

// The machine whose entries of a release list this installer takes: the
// card it talks to the server on, whose address the server chose its files
// by. Spelled as lists spell it (lower case).
std::string releaseMachine(const InstallClient& client) {
  std::string text = formatMacAddress(client.link.ownAddress);
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The first file of an exchange, the current one, when it is the release
// list: with a package key it must be, and it is taken (the same list each
// time); without a key it is received and set aside, as an installer
// without a key follows no release. `*taken` says whether it was the list.
bool takeServerRelease(InstallClient& client, bool* taken) {
  *taken = strcmp(client.receiver->name(), kReleaseListName) == 0;
  if (!*taken) {
    if (!releaseListRequired()) return true;
    char shown[kFileNameSize];
    printableName(client.receiver->name(), shown);
    printf("\nFATAL ERROR: the server sent %s first, not its release list (%s): the package key "
           "of this medium asks for one\n", shown, kReleaseListName);
    return false;
  }
  std::string text;
  if (!receiveToMemory(client, kMaxReleaseListSize, &text)) return false;
  return !releaseListRequired() || adoptReleaseList(text, releaseMachine(client));
}

// The disk drivers for the running kernel come from the server and go into
// the running system before the module lists load. The server sends its
// release list first.
bool loadDriversFromServer(InstallClient& client) {
  puts("");
  puts("Waiting for drivers...");
  if (!client.retrieveDrivers()) return fail("\nFATAL ERROR: could not retrieve disk drivers");
  bool listTaken = false;
  if (!takeServerRelease(client, &listTaken)) return false;
  if (listTaken) {
    switch (client.nextFile(nullptr, 0, nullptr)) {
      case NextFile::end:
        return fail("\nFATAL ERROR: could not retrieve disk drivers");
      case NextFile::failed:
        return false;  // the line has been printed
      case NextFile::file:
        break;
    }
  }
  puts("Retrieving drivers...");
  ReleasedFileCheck release;
  if (!release.begin(client.receiver->name(), ReleaseFileKind::driver)) return false;
  if (!receiveToInstaller(client, /*installRoot=*/nullptr, /*intoTarget=*/false, &release)) {
    return false;
  }
  puts("Loading drivers");
  loadModules(storageModules);
  loadModules(usbModules);
  return true;
}

// Every package of the followed release must have come: a server that
// leaves one out would install a partial release.
bool everyReleasePackageArrived() {
  const char* missing = firstMissingReleasePackage();
  if (missing == nullptr) return true;
  printf("\nFATAL ERROR: the server left out package %s of release %llu\n", missing,
         static_cast<unsigned long long>(adoptedRelease()->number));
  return false;
}

// Every file the server has, until it says there is none left; its release
// list comes first.
bool receiveFiles(InstallClient& client) {
  char name[kNetworkFileNameSize];
  int mark = 0;
  for (bool first = true;; first = false) {
    switch (client.nextFile(name, sizeof name, &mark)) {
      case NextFile::end:
        if (first && releaseListRequired()) {
          return fail("\nFATAL ERROR: the server sent no release list, and the package key of "
                      "this medium asks for one");
        }
        return everyReleasePackageArrived();
      case NextFile::failed:
        return false;  // the line has been printed
      case NextFile::file:
        break;
    }
    if (first) {
      bool listTaken = false;
      if (!takeServerRelease(client, &listTaken)) return false;
      if (listTaken) continue;
    }
    // A script carries no signature of its own: with a package key it goes
    // in only as the release list has it, like every package.
    ReleasedFileCheck release;
    bool script = isConfigurationScript(name);
    if (!release.begin(name, script ? ReleaseFileKind::script : ReleaseFileKind::package)) {
      return false;
    }
    bool received;
    if (script) {
      char path[kScriptPathSize];
      if (!scriptPath(name, mark, path, sizeof path)) {
        return fail("\nFATAL ERROR: couldn't make a file");  // cannot happen with 31 characters
      }
      puts("Writing configuration...");
      received = receiveToFile(client, path, &release);
    } else {
      received = receiveToInstaller(client, kTargetRoot, /*intoTarget=*/true, &release);
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
  // The old system's release is read before anything of the disk changes.
  if (!checkKeptRelease(target, keep)) return false;  // it said why
  // A failed write leaves the old first sector; the run goes on regardless.
  if (haveSector) (void)writeBootSector(target.device, sector);
  printf("Found server at %s\n", client.serverAddressText());
  puts("");

  if (!installSystem(target, keep)) return false;
  puts("");
  if (!client.startInstallation()) return fail("\nFATAL ERROR: server refused to install");
  if (!receiveFiles(client)) return false;
  if (!recordNewSystemRelease()) return false;  // it said why

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
