#pragma once
// One package stream from its first byte to its last: the metadata member,
// every member installed into a root, the end of the archive and of the
// compressed stream checked, and the database record published last.

#include <iosfwd>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "libinstall/package_key.h"
#include "package_metadata.h"
#include "root_dir.h"

namespace libinstall {

// Reads the archive's first member as the package metadata. False with
// *error when it is missing, misnamed, oversized or invalid.
bool readMetadataMember(ArchiveReader& reader, PackageMetadata* metadata, std::string* error);

// Splits the path of a member after the metadata as splitMemberPath does, and
// also refuses a second metadata member. False with *reason.
bool splitInstallablePath(const std::string& path, std::vector<std::string>* components,
                          std::string* reason);

struct StreamInstallOptions {
  bool replaceFiles = true;
  bool applyOwners = true;
  bool record = true;  // write the package database record
  // Packages must be signed with this key; null: unsigned ones are taken too.
  // Signed packages are checked either way.
  const PackageKey* requiredKey = nullptr;
};

// Installs the package read from `in` into `root`, reading `in` to its end.
// True only when every member was installed and the stream was intact to the
// last byte (the record is published only then). *metadata is filled as soon
// as it is read, so failures can name the package. False with *error, one
// line in printable ASCII (printableLine), whatever the package's names hold.
bool installPackageStream(std::istream& in, RootDir& root, const StreamInstallOptions& options,
                          PackageMetadata* metadata, std::string* error);

}  // namespace libinstall
