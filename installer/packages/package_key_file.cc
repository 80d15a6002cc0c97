#include "packages/package_key_file.h"

#include <cerrno>
#include <string>

namespace {
PackageTrust trust = PackageTrust::NotLoaded;
PackageKey key;
std::string problem;
}  // namespace

PackageTrust loadPackageKey(const char* path) {
  if (key.load(path, &problem)) return trust = PackageTrust::Verified;
  // A file that cannot be read, or holds no key, refuses every package: its
  // operator meant them to be checked.
  return trust = errno == ENOENT ? PackageTrust::Unverified : PackageTrust::BrokenKey;
}

PackageTrust packageTrust() { return trust; }
bool onlySignedPackages() {
  return trust == PackageTrust::Verified || trust == PackageTrust::BrokenKey;
}
const PackageKey& packageKey() { return key; }
const char* packageKeyProblem() { return problem.c_str(); }
