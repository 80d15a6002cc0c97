#pragma once
// The installation driver: turns the chosen disk into an empty, bootable
// installation, mounted on /mnt (and /mnt/boot), ready for the packages.

#include "hardware/drive_info.h"

// In order: with `keepConfig`, captures the old system's /tarn/store into
// memory; partitions, formats and mounts the disk; writes lilo.conf and
// fstab; creates /tarn, /tarn/etc, /var, /var/pdb; writes the captured tree
// back. Prints the progress lines and, on failure, one error line.
//
// True: the new system is mounted and ready (a failed write-back of the old
// configuration is reported but does not count as a failure). False: the
// installation must stop; mounts are left for the end of the run to undo,
// and nothing is rolled back (the old disk contents are gone once
// partitioning has begun).
[[nodiscard]] bool installSystem(DriveInfo& drive, bool keepConfig);
