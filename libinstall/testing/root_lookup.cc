#include "root_lookup.h"

#include <cstdlib>
#include <cstring>

namespace package_testing {

libinstall::RootDir::Lookup lookupUnderTest() {
  const char* chosen = getenv("KORVANEL_ROOT_LOOKUP");
  return chosen != nullptr && strcmp(chosen, "walk") == 0
             ? libinstall::RootDir::Lookup::walkOnly
             : libinstall::RootDir::Lookup::kernelWhereAvailable;
}

}  // namespace package_testing
