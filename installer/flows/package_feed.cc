#include "flows/package_feed.h"

#include "disk/command_runner.h"
#include "packages/package_installer.h"

namespace {
void reportNotInstalled(const PackageInfo& package) {
  printf("\nFATAL ERROR: could not install package %s\n", package.getFullName().c_str());
}
}  // namespace

bool feedPackage(FILE* installer, const void* block, size_t size) {
  return fwrite(block, size, 1, installer) == 1;
}

bool finishPackage(FILE* installer, const PackageInfo& package) {
  // -1 means the last buffered bytes never reached the child: just as lost.
  if (finishCommand(installer) == kPackageInstalled) return true;
  reportNotInstalled(package);
  return false;
}

void abandonPackage(FILE* installer, const PackageInfo& package) {
  (void)finishCommand(installer);  // a child that stopped reading refused the package
  reportNotInstalled(package);
}
