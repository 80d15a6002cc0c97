#pragma once
// What the installer relies on in a package head that readFrom accepted: a
// name the package database can take, and named needs.

#include <libinstall/package_info.h>

#include "fuzz_check.h"

namespace fuzz {

inline void checkAcceptedHead(const PackageFile& head) {
  FUZZ_CHECK(!head.name.empty() && head.name.size() <= 64);
  FUZZ_CHECK(head.name.find('/') == std::string::npos && head.name[0] != '.');
  for (const PackageDep& need : head.dependencies) FUZZ_CHECK(!need.name.empty());
  (void)head.getFullName();
}

}  // namespace fuzz
