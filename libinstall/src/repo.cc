#include "libinstall/repo.h"

#include <unistd.h>

#include <iostream>
#include <unordered_map>
#include <vector>

#include "libinstall/package_info.h"
#include "package_database.h"
#include "package_stream.h"
#include "root_dir.h"

Repo* Repo::getRepo() {
  static Repo repo;
  return &repo;
}

bool Repo::init(bool runningSystem) {
  std::string error;
  return initAt("/", runningSystem, &error);
}

bool Repo::initAt(const std::string& rootPath, bool runningSystem, std::string* error) {
  initialised_ = false;
  recording_ = false;
  rootPath_ = rootPath;
  libinstall::RootDir root;
  if (!root.open(rootPath, error)) return false;
  if (libinstall::prepareDatabase(root, error)) {
    recording_ = true;
  } else if (!runningSystem) {
    return false;
  }
  initialised_ = true;
  return true;
}

void Repo::requireSigner(const PackageKey& key) {
  requiredKey_ = key;
  keyRequired_ = true;
}

bool Repo::installFrom(std::istream& in, unsigned int flags,
                       std::map<std::string, bool>& installed) {
  libinstall::PackageMetadata metadata;
  std::string error;
  bool ok = false;
  libinstall::RootDir root;
  if (!initialised_) {
    error = "repository not initialised";
  } else if (root.open(rootPath_, &error)) {
    libinstall::StreamInstallOptions options;
    options.replaceFiles = (flags & kReplaceFiles) != 0;
    options.applyOwners = geteuid() == 0;
    options.record = recording_;
    options.requiredKey = keyRequired_ ? &requiredKey_ : nullptr;
    ok = libinstall::installPackageStream(in, root, options, &metadata, &error);
  }
  if (!metadata.name.empty()) installed[metadata.name] = ok;
  if (!ok) {
    // The library's one line: the caller decides what the failure means.
    std::string who = metadata.name.empty() ? "package" : metadata.name;
    if (!metadata.name.empty() && !metadata.version.empty()) who += "-" + metadata.version;
    std::cerr << "install: " << who << ": " << error << std::endl;
  }
  return ok;
}

bool Repo::sortPackages(std::list<PackageInfo*>& packages, bool removalOrder, bool breakCycles) {
  std::vector<PackageInfo*> given(packages.begin(), packages.end());
  // Where names repeat, dependencies name the first package of that name.
  std::unordered_map<std::string, size_t> indexOf;
  for (size_t i = 0; i < given.size(); ++i) indexOf.emplace(given[i]->name, i);

  std::vector<bool> placed(given.size(), false);
  std::vector<PackageInfo*> order;
  order.reserve(given.size());
  bool cycle = false;
  while (order.size() < given.size()) {
    size_t pick = given.size();
    size_t firstUnplaced = given.size();
    for (size_t i = 0; i < given.size() && pick == given.size(); ++i) {
      if (placed[i]) continue;
      if (firstUnplaced == given.size()) firstUnplaced = i;
      bool ready = true;
      for (const PackageDep& dep : given[i]->dependencies) {
        auto found = indexOf.find(dep.name);
        if (found != indexOf.end() && found->second != i && !placed[found->second]) {
          ready = false;
          break;
        }
      }
      if (ready) pick = i;
    }
    if (pick == given.size()) {
      // Every package left waits for another: a cycle.
      cycle = true;
      if (!breakCycles) return false;
      pick = firstUnplaced;
    }
    placed[pick] = true;
    order.push_back(given[pick]);
  }
  if (removalOrder) packages.assign(order.rbegin(), order.rend());
  else packages.assign(order.begin(), order.end());
  return !cycle;
}
