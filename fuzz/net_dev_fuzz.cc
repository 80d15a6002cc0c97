// /proc/net/dev as the network flow reads it for its interface names.

#include <cstring>

#include "fuzz_check.h"
#include "fuzz_input.h"
#include "netinstall/interface_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* stream = fuzz::openInput(data, size);
  if (stream == nullptr) return 0;
  std::vector<std::string> names = readInterfaceNames(stream);
  fclose(stream);
  for (const std::string& name : names) {
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name.find(':') == std::string::npos);
  }
  return 0;
}
