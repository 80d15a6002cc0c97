#include "server/protocol/server_test_tree.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

TestTree::TestTree() {
  char pattern[] = "/tmp/netinstall-tree.XXXXXX";
  root_ = mkdtemp(pattern);
}

TestTree::~TestTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void TestTree::write(const std::string& relativePath, const std::string& contents) {
  std::filesystem::path path = root_ + "/" + relativePath;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

void TestTree::makeDirectory(const std::string& relativePath) {
  std::filesystem::create_directories(root_ + "/" + relativePath);
}

void TestTree::remove(const std::string& relativePath) {
  std::filesystem::remove_all(root_ + "/" + relativePath);
}

void TestTree::writePackages(const std::vector<FixturePackage>& packages) {
  makeDirectory("packages");
  std::string error = makeMedium(root_ + "/packages", packages);
  if (!error.empty()) fprintf(stderr, "%s\n", error.c_str());
}

FixturePackage package(const std::string& name, const std::vector<std::string>& depends) {
  FixturePackage fixture;
  fixture.name = name;
  fixture.depends = depends;
  fixture.description = "the " + name + " package";
  return fixture;
}
