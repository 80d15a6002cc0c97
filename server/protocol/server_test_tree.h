#pragma once
// A server root directory in a temporary place, removed with the object.

#include <string>
#include <vector>

#include "packages/package_fixtures.h"

class TestTree {
 public:
  TestTree();
  ~TestTree();
  const std::string& root() const { return root_; }
  // Writes `contents` to root/relativePath, creating the directories.
  void write(const std::string& relativePath, const std::string& contents);
  void makeDirectory(const std::string& relativePath);
  void remove(const std::string& relativePath);
  // Real packages (made with the bdl tool) in root/packages.
  void writePackages(const std::vector<FixturePackage>& packages);

 private:
  std::string root_;
};

// A package named `name` that needs `depends`.
FixturePackage package(const std::string& name, const std::vector<std::string>& depends = {});
