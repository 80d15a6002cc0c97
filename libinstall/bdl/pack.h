#pragma once
// Packing a directory tree into a package file.

#include <string>

#include "package_metadata.h"

namespace bdl {

// Writes the package of `metadata` holding the tree below `directory` (not
// the directory itself) to `outputPath`: directories before their contents,
// entries in byte order of their names, hard links as links to the first
// path of their file, modes, numeric owners and times with nanoseconds.
// Devices, fifos and sockets are refused. False with *error; then no output
// file is left behind.
bool packTree(const std::string& directory, const std::string& outputPath,
              const libinstall::PackageMetadata& metadata, std::string* error);

}  // namespace bdl
