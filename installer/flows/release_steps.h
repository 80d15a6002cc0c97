#pragma once
// The steps every flow takes for the release it follows when the boot medium
// carries a package key (packages/installation_release.h): the list from a
// medium, the check against the release the replaced system records, and
// the record in the new system. Without a key each step does nothing and
// succeeds. Each that fails has printed one FATAL ERROR line.

#include <libinstall/release_list.h>

#include <cstddef>

#include "hardware/drive_info.h"

// Reads release.lst from the mounted medium (/floppy) and adopts it; every
// package it lists must be on the medium too (`medium` names it in the
// message: "CD", "disk").
[[nodiscard]] bool takeReleaseFromMedium(const char* medium);

// A whole file read from the medium (`name` as the list names it) against
// the followed release: listed as `kind`, of its size and SHA-256.
[[nodiscard]] bool checkReleasedFile(const char* name, ReleaseFileKind kind, const void* data,
                                     size_t size);

// With `keepConfig`, before anything of the disk changes: the release the
// old system on `drive` records must not be newer than the one followed.
// Mounts the old root on /mnt and unmounts it again.
[[nodiscard]] bool checkKeptRelease(const DriveInfo& drive, bool keepConfig);

// Records the followed release in the new system (/mnt/var/pdb/.release).
[[nodiscard]] bool recordNewSystemRelease();
