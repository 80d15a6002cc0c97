#pragma once
// Mounting an installed system (old or new) and writing the two files that
// make the new one bootable: /etc/fstab and /etc/lilo.conf. Nothing here
// prints; callers turn false into their own error line.

#include <string>

#include "hardware/drive_info.h"

// Mounts the system's root on `mountPoint` (read-write, no options), trying
// the root partition of the drive's layout (1, or 2 in the two-partition
// layout) as ext3, then as ext2, then the other partition the same way. When the root is partition 2 and `withBoot` is true, also mounts
// partition 1 (ext2) on "<mountPoint>/boot", creating that directory. True
// when everything asked for is mounted; false leaves nothing mounted.
[[nodiscard]] bool mountTarget(const DriveInfo& drive, const char* mountPoint, bool withBoot);

// Writes "<root>/etc/fstab" (mode 0644, creating /etc) and, for an ext3
// root, the empty marker "<root>/.nofsck" (whose failure is ignored). False
// when fstab cannot be created or written completely.
[[nodiscard]] bool writeFstab(const DriveInfo& drive, const char* root);

// Writes "<root>/etc/lilo.conf" (mode 0644, creating /etc). False when it
// cannot be created or written completely.
[[nodiscard]] bool writeLiloConf(const DriveInfo& drive, const char* root);

// The exact contents of the two files for a drive.
std::string fstabText(const DriveInfo& drive);
std::string liloConfText(const DriveInfo& drive);
