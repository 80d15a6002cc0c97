// A package file's head as the installer reads it for every ".bdl" of a
// medium (PackageFile::readFrom): name, version, description, needs. What it
// accepts must be a name the package database can take.

#include <sys/mman.h>
#include <unistd.h>

#include <libinstall/package_info.h>

#include <string>

#include "fuzz_check.h"
#include "package_input.h"

namespace {
int file = -1;
std::string path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  file = memfd_create("package-head", MFD_CLOEXEC);
  FUZZ_CHECK(file >= 0);
  path = "/proc/self/fd/" + std::to_string(file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string package = fuzz::packageBytes(data, size);
  FUZZ_CHECK(ftruncate(file, 0) == 0);
  ssize_t written = pwrite(file, package.data(), package.size(), 0);
  FUZZ_CHECK(written == static_cast<ssize_t>(package.size()));
  PackageFile head;
  if (!head.readFrom(path)) {
    FUZZ_CHECK(head.name.empty());
    return 0;
  }
  FUZZ_CHECK(!head.name.empty() && head.name.size() <= 64);
  FUZZ_CHECK(head.name.find('/') == std::string::npos && head.name[0] != '.');
  for (const PackageDep& need : head.dependencies) FUZZ_CHECK(!need.name.empty());
  (void)head.getFullName();
  return 0;
}
