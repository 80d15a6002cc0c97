#pragma once
// Package metadata as the installer sees it: what a package is called, what it
// says about itself and which packages it needs. A PackageFile is such a
// description read from a package file (.bdl).

#include <string>
#include <vector>

#include "libinstall/package_key.h"

// One dependency: the short name of a package that must be installed first.
class PackageDep {
 public:
  PackageDep() = default;
  explicit PackageDep(std::string depName) : name(std::move(depName)) {}

  std::string name;
};

class PackageInfo {
 public:
  PackageInfo() = default;
  PackageInfo(const PackageInfo&) = default;
  PackageInfo& operator=(const PackageInfo&) = default;
  virtual ~PackageInfo();

  // A name for messages: "name-version", or the name alone when the package
  // has no version. Before a successful read it names whatever is known (the
  // name read so far, else the file name); empty when nothing is.
  std::string getFullName() const;

  // True when this package lists `other` (by name) among its direct
  // dependencies. Needs of needs are not followed.
  bool requires(const PackageInfo& other) const;

  std::string name;         // short name such as "system"; every lookup uses it
  std::string version;      // may be empty
  std::string description;  // one line, may be empty
  std::vector<PackageDep> dependencies;  // in the order the package lists them

 protected:
  // What getFullName reports while `name` is empty.
  std::string fallbackName;
};

class PackageFile : public PackageInfo {
 public:
  // Reads the metadata at the head of the package file at `filePath` (not the
  // rest of the file: its contents are checked when it is installed). True
  // for a package; then every field and `path` are filled. False for a file
  // that cannot be read or is no package; the fields are then empty and
  // getFullName() names the file.
  bool readFrom(const std::string& filePath);

  std::string path;  // the file last read successfully
  // Whether the file is signed, and with which key: its signature matched
  // its text; whether the key is one an installation takes, and the data,
  // are checked when the package is installed.
  bool isSigned = false;
  PackageKey signer;
};
