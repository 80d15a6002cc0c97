#pragma once
// The packages of one installation medium: found and read by scanDirectory,
// shown and chosen in the menu, and handed to the installation in the order
// the package library gives them.

#include <libinstall/package_info.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

// One package file of the medium and whether it is chosen for installation.
class PackageItem : public PackageFile {
 public:
  bool selected = false;
};

// Names moved to the front of the set, in this order, after sorting by name.
extern const char* const preferredOrder[3];
// The optional list of default packages in the package directory.
constexpr const char* defaultSelectionFile = "defpacks";
// Longest word of the default list that can name a package; longer words
// are skipped whole.
constexpr size_t kMaxDefaultWord = 79;

class PackageSet {
 public:
  PackageSet() = default;
  PackageSet(const PackageSet&) = delete;
  PackageSet& operator=(const PackageSet&) = delete;

  // Reads every "*.bdl" entry of `directory` into the set, sorts the set by
  // name, moves the preferred packages to the front and selects the packages
  // "defpacks" names. True when at least one package was read and all of them
  // were good. Otherwise prints one line, "FATAL ERROR: No packages found" or
  // "FATAL ERROR: Bad package <full name>", and returns false; the items read
  // until then stay in the set.
  [[nodiscard]] bool scanDirectory(const char* directory);

  // Lowest index whose item has exactly this name, or -1.
  int findByName(const std::string& name) const;

  void selectAll();

  // Selects the items that the default list read from `list` names: words
  // separated by blanks, tabs and line ends; words longer than
  // kMaxDefaultWord are skipped whole, unknown names ignored. Reads to the
  // end of `list`.
  void applyDefaultsFrom(FILE* list);

  // Empties `order`, then fills it with the selected items in installation
  // order (dependencies first, as the package library orders them). The items
  // stay owned by the set.
  void installOrder(std::list<PackageFile*>& order) const;

  // The packages, in display order; the set owns them.
  std::vector<std::unique_ptr<PackageItem>> items;
  unsigned int cursor = 0;         // the item the menu highlights
  unsigned int rowsPerColumn = 0;  // set by the menu each time it starts

 private:
  void movePreferredToFront();
  void applyDefaults(const std::string& directory);
};
