#include "hardware/drive_detection.h"

#include <cstdio>
#include <cstring>

#include "disk/command_runner.h"
#include "hardware/drive_listing.h"
#include "startup/progress.h"

DriveInfo driveTable[kDriveTableSize];

const char* const knownDrivePaths[] = {
    "/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd", "/dev/sda", "/dev/sdb", "/dev/sdc",
    "/dev/sdd", "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh", nullptr,
};

namespace {

// Beside knownDrivePaths, entry for entry.
const char* const kDriveDescriptions[] = {
    "IDE Primary master (disk C)", "IDE Primary slave (disk D)", "IDE Secondary master (disk E)",
    "IDE Secondary slave (disk F)", "SATA 1", "SATA 2", "SATA 3", "SATA 4", "SATA 5", "SATA 6",
    "SATA 7", "SATA 8",
};

}  // namespace

DriveInfo* scanDrives() {
  FILE* listing = startWithOutput("/sbin/sfdisk", "-g", nullptr);
  if (listing == nullptr) return nullptr;
  int recorded = readDriveListing(listing, driveTable, kDriveTableSize);
  (void)finishCommand(listing);  // the tool's status says nothing the listing did not
  return recorded > 0 ? driveTable : nullptr;
}

bool findHardDriveWith(DriveInfo& target, const std::function<DriveInfo*()>& scan,
                       Sleeper& sleeper) {
  puts("");
  startProgress("Looking for harddrives...");
  DriveInfo* found = nullptr;
  for (int attempt = 0; attempt < kDriveSearchAttempts && found == nullptr; ++attempt) {
    found = scan();
    if (found == nullptr) sleeper.sleepSeconds(1);
  }
  endProgress();
  if (found == nullptr) {
    puts("\nFATAL ERROR: no harddrives found");
    return false;
  }
  target = found[0];  // the first disk the tool listed; there is no choice
  puts("");
  printf("Found harddrive as %s\n", describeDrive(target.device));
  return true;
}

bool findHardDrive(DriveInfo& target) {
  return findHardDriveWith(target, scanDrives, systemSleeper());
}

const char* describeDrive(const char* device) {
  for (int i = 0; knownDrivePaths[i] != nullptr; ++i) {
    if (strcmp(device, knownDrivePaths[i]) == 0) return kDriveDescriptions[i];
  }
  return device;
}
