#include "server/protocol/package_order.h"

#include <libinstall/package_info.h>
#include <libinstall/repo.h>

#include <list>
#include <map>
#include <memory>

bool orderPackages(std::vector<ServedFile>& packages, std::string& error) {
  std::vector<std::unique_ptr<PackageFile>> descriptions;
  std::map<const PackageInfo*, size_t> positions;
  std::list<PackageInfo*> order;
  for (size_t index = 0; index < packages.size(); ++index) {
    auto description = std::make_unique<PackageFile>();
    if (!description->readFrom(packages[index].path)) {
      // Every installer would fail on it: better said once, here.
      error = packages[index].path + " is not a package";
      return false;
    }
    positions[description.get()] = index;
    order.push_back(description.get());
    descriptions.push_back(std::move(description));
  }
  // As installers order what they read from a medium: installation order
  // (not removal order), cycles broken.
  (void)Repo::getRepo()->sortPackages(order, /*removalOrder=*/false, /*breakCycles=*/true);
  std::vector<ServedFile> ordered;
  for (const PackageInfo* package : order) ordered.push_back(packages[positions[package]]);
  packages = std::move(ordered);
  return true;
}
