#pragma once
// Looking into package files: the metadata, the member listing and a full
// check of a package without installing it.

#include <iosfwd>
#include <string>

#include "libinstall/package_key.h"

namespace bdl {

// Writes the package's metadata ("name: ...", "version: ...",
// "description: ...", "depends: a, b") and its signer ("signed-by: key
// <id>", or "signed-by: nobody (unsigned package)"), from the head of the
// file as the installer's menu reads it. False with *error.
bool showInfo(const std::string& path, std::ostream& out, std::string* error);

// Writes one line per member after the metadata: type and permissions,
// owner/group, size, modification time (UTC) and path, with " -> target" for
// symbolic links and " link to target" for hard links. False with *error.
bool listMembers(const std::string& path, std::ostream& out, std::string* error);

// Reads the whole package and checks everything the installer would refuse
// before writing anything: the signature and every signed chunk (and that
// `key` signed it, when given: then an unsigned package fails), the
// metadata, every member's path, hard link targets (earlier regular
// members), the end marker, the compressed data's checksum and length,
// trailing bytes. On success writes a one-line summary naming the signer.
bool verifyPackage(const std::string& path, const PackageKey* key, std::ostream& out,
                   std::string* error);

}  // namespace bdl
