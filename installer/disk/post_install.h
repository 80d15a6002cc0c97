#pragma once
// The last disk step of every installation, once the packages are in.

#include "hardware/drive_info.h"

// Runs the new system's /etc/rc.d/rc.postinstall inside it (its own
// /bin/bash, root changed to /mnt, output on the log console), syncs,
// unmounts /mnt/boot and, in the single-partition layout, remounts /mnt
// read-only and runs the new system's "fsck -d -v" inside it under the
// progress line "Checking disk integrity...". Finally unmounts /mnt.
// A missing script, a refused remount or a failing check are passed over,
// and nothing else is printed. Returns false (errno says why) only when the
// kernel reports that writing the new system's file systems back to the disk
// failed since they were mounted (a disk that vanished or broke): the caches
// held the packages, the disk does not.
[[nodiscard]] bool finishInstallation(const DriveInfo& drive);
