// /proc/partitions as the partitioning tool reads it for "-g" without a
// device: the whole disks only, each a word it can put behind "/dev/".

#include <cctype>
#include <string>

#include "disk_list.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const std::string& name : wholeDiskNames(text)) {
    FUZZ_CHECK(!name.empty() && name.size() <= 63);
    for (char c : name) FUZZ_CHECK(c != '\0' && !isspace(static_cast<unsigned char>(c)));
  }
  return 0;
}
