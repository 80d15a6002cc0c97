#pragma once
// Packing a directory tree into a package file.

#include <cstdint>
#include <string>

#include "package_metadata.h"

namespace bdl {

// What a package records instead of what the build host's files say, so
// that a package made by an ordinary user, or on another day, is the same
// package byte for byte.
struct PackOverrides {
  bool setOwner = false;  // every member owned by uid:gid
  uint32_t uid = 0;
  uint32_t gid = 0;
  bool setTime = false;   // every member's time is `seconds` (no nanoseconds)
  int64_t seconds = 0;
};

// Writes the package of `metadata` holding the tree below `directory` (not
// the directory itself) to `outputPath`: directories before their contents,
// entries in byte order of their names, hard links as links to the first
// path of their file, modes, numeric owners and times with nanoseconds.
// Devices, fifos and sockets are refused. False with *error; then no output
// file is left behind.
bool packTree(const std::string& directory, const std::string& outputPath,
              const libinstall::PackageMetadata& metadata, std::string* error,
              const PackOverrides& overrides = {});

}  // namespace bdl
