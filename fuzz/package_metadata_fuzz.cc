// A package's metadata text (name, version, description, needs), taken as
// text: the target packs it as the first member of a package and reads the
// head as the installer's menu does.

#include <libinstall/package_info.h>

#include "memory_file.h"
#include "package_head_check.h"
#include "text_container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file("metadata-package");
  std::string text(reinterpret_cast<const char*>(data), size);
  PackageFile head;
  if (!head.readFrom(file.hold(fuzz::metadataPackage(text)))) return 0;
  fuzz::checkAcceptedHead(head);
  return 0;
}
