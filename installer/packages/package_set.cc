#include "packages/package_set.h"

#include <dirent.h>
#include <libinstall/repo.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

const char* const preferredOrder[3] = {"system", "ppp", "dhcp"};

namespace {
constexpr const char* kPackageExtension = ".bdl";
constexpr size_t kExtensionLength = 4;

bool isPackageFileName(const char* name) {
  size_t length = strlen(name);
  return length > 3 && strcmp(name + length - kExtensionLength, kPackageExtension) == 0;
}
}  // namespace

bool PackageSet::scanDirectory(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) {
    printf("FATAL ERROR: No packages found\n");
    return false;
  }
  while (dirent* entry = readdir(dir)) {
    if (!isPackageFileName(entry->d_name)) continue;
    items.push_back(std::make_unique<PackageItem>());
    PackageItem& item = *items.back();
    if (!item.readFrom(std::string(directory) + "/" + entry->d_name)) {
      printf("FATAL ERROR: Bad package %s\n", item.getFullName().c_str());
      closedir(dir);
      return false;
    }
  }
  closedir(dir);
  if (items.empty()) {
    printf("FATAL ERROR: No packages found\n");
    return false;
  }
  std::sort(items.begin(), items.end(),
            [](const std::unique_ptr<PackageItem>& a, const std::unique_ptr<PackageItem>& b) {
              return a->name < b->name;
            });
  movePreferredToFront();
  applyDefaults(directory);
  return true;
}

void PackageSet::movePreferredToFront() {
  // The target is the name's place in the list, not the count found so far:
  // without "system", "ppp" still goes to index 1.
  for (size_t i = 0; i < std::size(preferredOrder); ++i) {
    int found = findByName(preferredOrder[i]);
    if (found < 0) continue;
    std::unique_ptr<PackageItem> item = std::move(items[static_cast<size_t>(found)]);
    items.erase(items.begin() + found);
    size_t target = std::min(i, items.size());
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(target), std::move(item));
  }
}

void PackageSet::applyDefaults(const std::string& directory) {
  FILE* file = fopen((directory + "/" + defaultSelectionFile).c_str(), "r");
  if (file == nullptr) return;  // no defaults: not an error
  applyDefaultsFrom(file);
  fclose(file);
}

void PackageSet::applyDefaultsFrom(FILE* list) {
  std::string word;
  bool overlong = false;
  auto endWord = [&] {
    if (!word.empty() && !overlong) {
      int found = findByName(word);
      if (found >= 0) items[static_cast<size_t>(found)]->selected = true;
    }
    word.clear();
    overlong = false;
  };
  for (int c; (c = getc(list)) != EOF;) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      endWord();
    } else if (word.size() < kMaxDefaultWord) {
      word += static_cast<char>(c);
    } else {
      overlong = true;
    }
  }
  endWord();
}

int PackageSet::findByName(const std::string& name) const {
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i]->name == name) return static_cast<int>(i);
  }
  return -1;
}

void PackageSet::selectAll() {
  for (auto& item : items) item->selected = true;
}

void PackageSet::installOrder(std::list<PackageFile*>& order) const {
  std::list<PackageInfo*> chosen;
  for (const auto& item : items) {
    if (item->selected) chosen.push_back(item.get());
  }
  // A dependency cycle is broken rather than dropping packages: every chosen
  // package is installed.
  (void)Repo::getRepo()->sortPackages(chosen, /*removalOrder=*/false, /*breakCycles=*/true);
  order.clear();
  for (PackageInfo* info : chosen) order.push_back(static_cast<PackageItem*>(info));
}
