#pragma once
// The package database: one text file per installed package in /var/pdb of
// the root, named after the package. It is written while the package
// installs, under a temporary name, and appears under the package's name only
// when the whole package was installed, so a record always means a complete
// installation. Its layout is described in docs/package-format.md.
//
// The database only ever writes a file it has just created itself, and never
// follows a link: whatever else stands at its names (left by an older system
// or planted) is replaced, never opened.

#include <cstdio>
#include <string>
#include <vector>

#include "package_metadata.h"
#include "root_dir.h"

namespace libinstall {

// The database directory below the root.
const std::vector<std::string>& databaseComponents();

// Creates the database directory (and /var) with mode 0755 when missing.
bool prepareDatabase(RootDir& root, std::string* error);

// Escapes a path for one line of a record: backslash, newline and other
// control bytes become \\, \n and \ooo.
std::string escapeRecordPath(const std::string& path);

class PackageRecord {
 public:
  PackageRecord() = default;
  ~PackageRecord();  // abandons a record that was not committed
  PackageRecord(const PackageRecord&) = delete;
  PackageRecord& operator=(const PackageRecord&) = delete;

  // Starts the record of `metadata` in the root's database. False with
  // *error when the database cannot be written.
  bool begin(RootDir& root, const PackageMetadata& metadata, std::string* error);
  // The database directory while a record is open (for RootDir::fenceOff).
  int directoryFd() const { return directoryFd_; }
  // Lists one installed path ("/etc/fstab"; directories end in "/").
  bool add(const std::string& path, bool directory);
  // Publishes the record under the package's name, replacing an older one.
  bool commit(std::string* error);
  // Removes the unfinished record.
  void abandon();

 private:
  int directoryFd_ = -1;
  FILE* file_ = nullptr;
  std::string temporary_;
  std::string name_;
};

}  // namespace libinstall
