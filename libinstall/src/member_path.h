#pragma once
// The first line of defence against hostile packages: a member path must be
// a relative path below the root. Absolute paths and ".." are refused
// outright, not rewritten, since a package that carries them is not what its
// maker meant to ship.

#include <string>
#include <vector>

#include "package_limits.h"

namespace libinstall {

// Splits `path` into its components, dropping "." and empty ones (so "./a//b/"
// is a, b). True when the path is safe; an empty result names the root
// itself. False with *reason for an absolute path, a ".." component, a NUL
// byte (pax records can carry one), an empty path, one longer than
// kMaxPathLength or one of more than kMaxDepth components.
bool splitMemberPath(const std::string& path, std::vector<std::string>* components,
                     std::string* reason);

// The components joined with "/" and a leading "/", as the database lists
// them ("/" for none).
std::string joinedPath(const std::vector<std::string>& components);

}  // namespace libinstall
