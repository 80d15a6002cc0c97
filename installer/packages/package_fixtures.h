#pragma once
// Test helper: installation media made of real package files, packed by the
// bdl tool the way media are made.

#include <string>
#include <vector>

struct FixturePackage {
  std::string name;
  std::vector<std::string> depends;
  std::string description;
  std::string fileName;  // defaults to name + ".bdl"
};

// Packs every package (a tree holding one file, "/usr/share/<name>") into
// `directory` with the bdl tool. Returns "" or what went wrong.
std::string makeMedium(const std::string& directory, const std::vector<FixturePackage>& packages);

// The bdl tool of this build.
std::string bdlTool();
