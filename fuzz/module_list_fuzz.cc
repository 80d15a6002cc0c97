// The network boot medium's module list (/etc/netboot-modules) as
// netboot-init reads it: every entry a whole line, trimmed, not a comment,
// and a path below the module directory once the release is put before it.

#include <string>

#include "fuzz_check.h"
#include "hardware/module_loader.h"
#include "module_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const std::string& entry : parseModuleList(text)) {
    FUZZ_CHECK(!entry.empty() && entry[0] != '#');
    FUZZ_CHECK(entry.find('\n') == std::string::npos);
    for (char blank : {' ', '\t', '\r'}) {
      FUZZ_CHECK(entry.front() != blank && entry.back() != blank);
    }
    std::string path = modulePath("6.1.0-test-686", entry.c_str());
    FUZZ_CHECK(path.rfind("/lib/modules/6.1.0-test-686/", 0) == 0);
  }
  return 0;
}
