#pragma once
// Installation order of the packages the server sends: the package library's
// own ordering, as installers that read a medium use it (a package comes
// after the packages it depends on; otherwise the order of the names).

#include <string>
#include <vector>

#include "server/protocol/install_tree.h"

// Reads each package's description and reorders `packages` (sorted by name on
// entry) into installation order; a dependency cycle is broken rather than
// refused. False with the reason in `error` when a file is not a package.
[[nodiscard]] bool orderPackages(std::vector<ServedFile>& packages, std::string& error);
