// Whatever the partitioning tool prints for "-d", as the installer counts the
// old table's slots from it (a line beginning "/dev/" is a slot, however
// long the lines are).

#include <cstring>

#include "disk/partitioning.h"
#include "fuzz_check.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* dump = fuzz::openInput(data, size);
  if (dump == nullptr) return 0;
  int slots = countTableSlots(dump);
  fclose(dump);
  // Never more slots than lines that begin "/dev/".
  int starts = 0;
  bool atLineStart = true;
  for (size_t i = 0; i < size; ++i) {
    if (atLineStart && size - i >= 5 && memcmp(data + i, "/dev/", 5) == 0) ++starts;
    atLineStart = data[i] == '\n';
  }
  FUZZ_CHECK(slots == starts);
  return 0;
}
