#pragma once
// The package repository of the current root: it orders packages for
// installation and installs package streams into the current root directory
// ("/"), recording each installed package in the package database /var/pdb.
// Callers that install into another tree change their root first, or name
// the tree with initAt.

#include <iosfwd>
#include <list>
#include <map>
#include <string>

#include "libinstall/package_key.h"

class PackageInfo;

class Repo {
 public:
  // installFrom flag: a member may replace a file (not a directory) that
  // already exists at its path. Without it such a member fails the package.
  static constexpr unsigned int kReplaceFiles = 1;

  // The one repository of the process; never null.
  static Repo* getRepo();

  // Prepares the current root for installing: the package database directory
  // /var/pdb is created (with /var) when missing. `runningSystem` says the
  // root is the system that runs this process (the installer itself): there
  // a database that cannot be prepared is no error and packages are
  // installed without a record; for a new system (false) it is, and init
  // returns false. Forgets the outcome of any earlier package.
  bool init(bool runningSystem);

  // From now on installFrom takes only packages signed with `key`; until
  // then it takes unsigned packages too. Signed packages are checked either
  // way: the signature, and each chunk of the package before anything of it
  // is unpacked.
  void requireSigner(const PackageKey& key);

  // As init, for the tree at `rootPath` instead of "/": installFrom then
  // installs into that tree, with the same walks, guards and record as in a
  // changed root (for tools that install into a directory, such as
  // `bdl extract`). False with the reason in *error when the tree cannot be
  // opened as a directory or (for a new system) its database prepared.
  bool initAt(const std::string& rootPath, bool runningSystem, std::string* error);

  // Reads one package from `in` to the end of the stream and installs it into
  // the current root. True when every member was installed, the stream was
  // intact to its end and the package is recorded; then installed[name] is
  // true. False otherwise, after one line on standard error saying why;
  // installed[name] is false when the name was known. Files installed before
  // the failure stay; the package is not recorded.
  // REQUIRES: init() succeeded in this process.
  bool installFrom(std::istream& in, unsigned int flags, std::map<std::string, bool>& installed);

  // Reorders `packages` so that every package comes after the packages it
  // depends on that are also in the list; packages keep their given order
  // wherever no dependency says otherwise (the earliest package whose needs
  // are all placed goes next). Needs on packages missing from the list are
  // ignored. `removalOrder` reverses the result (dependants first).
  // Returns false when the dependencies form a cycle: with `breakCycles`
  // the earliest package of the cycle is placed as if its needs were met, so
  // every package stays in the list; without it the list is left as given.
  bool sortPackages(std::list<PackageInfo*>& packages, bool removalOrder, bool breakCycles);

 private:
  Repo() = default;

  bool initialised_ = false;
  bool recording_ = false;
  bool keyRequired_ = false;
  PackageKey requiredKey_;
  std::string rootPath_ = "/";
};
