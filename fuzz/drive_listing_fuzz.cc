// The partitioning tool's geometry listing ("sfdisk -g") as the drive scan
// reads it, and what the installer then makes of a disk it recorded: the
// partition paths and the tool's input for the new table, which the tool
// must accept.

#include <cstring>
#include <string>
#include <vector>

#include "disk/partitioning.h"
#include "disk/target_layout.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "hardware/drive_detection.h"
#include "hardware/drive_listing.h"
#include "partition_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* listing = fuzz::openInput(data, size);
  if (listing == nullptr) return 0;
  DriveInfo table[kDriveTableSize];
  int recorded = readDriveListing(listing, table, kDriveTableSize);
  fclose(listing);
  FUZZ_CHECK(recorded >= 0 && recorded <= kDriveTableSize);

  for (int i = 0; i < recorded; ++i) {
    const DriveInfo& drive = table[i];
    FUZZ_CHECK(memchr(drive.device, '\0', sizeof drive.device) != nullptr);
    FUZZ_CHECK(strncmp(drive.device, "/dev/", 5) == 0);
    (void)describeDrive(drive.device);
    char partition[kPathSize];
    FUZZ_CHECK(partitionPath(partition, drive, rootPartitionNumber(drive)));
    if (!layoutIsPossible(drive)) continue;
    for (int oldSlots : {0, 4, 7}) {
      std::vector<PartitionRequest> requests;
      std::string error;
      FUZZ_CHECK(parsePartitionInput(partitionTableInput(drive, oldSlots), requests, error));
    }
  }
  return 0;
}
