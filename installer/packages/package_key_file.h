#pragma once
// The operator's package key. The boot medium carries it at kPackageKeyPath
// in the running installer system; the installation process reads it once,
// and every package installer child started after that installs only
// packages signed with it.

#include <libinstall/package_key.h>

constexpr const char* kPackageKeyPath = "/package-key.pub";

enum class PackageTrust {
  NotLoaded,   // loadPackageKey() was not called: nothing is checked or said
  Unverified,  // no key file: packages are installed unverified
  Verified,    // packages must be signed with packageKey()
  BrokenKey,   // a key file that holds no key: every package is refused
};

// Reads the key file at `path` and returns the outcome, which the children
// started from now on follow. A file that cannot be read, or holds no valid
// key, refuses every package: its operator meant them to be checked. Prints
// nothing.
PackageTrust loadPackageKey(const char* path);

PackageTrust packageTrust();
// The key of PackageTrust::Verified.
const PackageKey& packageKey();
// Why the key file was refused (PackageTrust::BrokenKey), with its path.
const char* packageKeyProblem();

// True where the medium meant every package to be checked (a key, usable or
// not): then nothing unsigned may go into the new system.
bool onlySignedPackages();
