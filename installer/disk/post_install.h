#pragma once
// The last disk step of every installation, once the packages are in.

#include "hardware/drive_info.h"

// Runs the new system's /etc/rc.d/rc.postinstall inside it (its own
// /bin/bash, root changed to /mnt, output on the log console), syncs,
// unmounts /mnt/boot and, in the single-partition layout, remounts /mnt
// read-only and runs the new system's "fsck -d -v" inside it under the
// progress line "Checking disk integrity...". Finally unmounts /mnt.
// Nothing here can fail the installation and nothing else is printed: a
// missing script, a refused remount or a failing check are passed over.
void finishInstallation(const DriveInfo& drive);
