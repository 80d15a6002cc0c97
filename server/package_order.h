#pragma once
// Installation order of the packages the server sends: a package comes after
// the packages it depends on, as the package library orders them for the
// installers that read a medium.

#include <vector>

#include "server/install_tree.h"

// Reorders `packages` (sorted by name on entry) into installation order.
void orderPackages(std::vector<ServedFile>& packages);
