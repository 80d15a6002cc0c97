#pragma once
// The lookup the library's tests give every RootDir they open: the kernel's
// where it has openat2, or the walk alone when the environment says
// KORVANEL_ROOT_LOOKUP=walk. ctest runs the escape and refusal tests both
// ways (libinstall/CMakeLists.txt), so that both refuse the same packages.

#include "root_dir.h"

namespace package_testing {

libinstall::RootDir::Lookup lookupUnderTest();

}  // namespace package_testing
