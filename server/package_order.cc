#include "server/package_order.h"

// Until the package library's ordering is linked into the server, packages
// keep the order of their file names.
void orderPackages(std::vector<ServedFile>&) {}
