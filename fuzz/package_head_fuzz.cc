// A package file's head as the installer reads it for every ".bdl" of a
// medium (PackageFile::readFrom): name, version, description, needs. What it
// accepts must be a name the package database can take.

#include <libinstall/package_info.h>

#include "memory_file.h"
#include "package_head_check.h"
#include "package_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file("package-head");
  PackageFile head;
  if (!head.readFrom(file.hold(fuzz::packageBytes(data, size)))) {
    FUZZ_CHECK(head.name.empty());
    return 0;
  }
  fuzz::checkAcceptedHead(head);
  return 0;
}
