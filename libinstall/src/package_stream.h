#pragma once
// One package stream from its first byte to its last: the metadata member,
// every member installed into a root, the end of the archive and of the
// compressed stream checked, and the database record published last.

#include <iosfwd>
#include <string>

#include "archive_reader.h"
#include "package_metadata.h"
#include "root_dir.h"

namespace libinstall {

// Reads the archive's first member as the package metadata. False with
// *error when it is missing, misnamed, oversized or invalid.
bool readMetadataMember(ArchiveReader& reader, PackageMetadata* metadata, std::string* error);

struct StreamInstallOptions {
  bool replaceFiles = true;
  bool applyOwners = true;
  bool record = true;  // write the package database record
};

// Installs the package read from `in` into `root`, reading `in` to its end.
// True only when every member was installed and the stream was intact to the
// last byte (the record is published only then). *metadata is filled as soon
// as it is read, so failures can name the package. False with *error.
bool installPackageStream(std::istream& in, RootDir& root, const StreamInstallOptions& options,
                          PackageMetadata* metadata, std::string* error);

}  // namespace libinstall
