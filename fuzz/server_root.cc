#include "server_root.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "pack.h"

namespace {

void writeFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

void writePackage(const std::string& root, const std::string& name, const std::string& depends,
                  const std::string& path) {
  std::string tree = root + "/tree-" + name;
  // Compressed to a few hundred bytes, yet several blocks once unpacked.
  writeFile(tree + "/etc/" + name + ".conf", std::string(5000, name[0]));
  libinstall::PackageMetadata metadata;
  metadata.name = name;
  metadata.version = "1.0";
  if (!depends.empty()) metadata.depends.push_back(depends);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::string error;
  if (!bdl::packTree(tree, path, metadata, &error)) {
    fprintf(stderr, "server root: %s\n", error.c_str());
    abort();
  }
  std::filesystem::remove_all(tree);
}

}  // namespace

std::string makeServerRoot() {
  char pattern[] = "/tmp/korvanel-server-root.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("server root");
    abort();
  }
  std::string root = pattern;
  writePackage(root, "system", "", root + "/packages/system.bdl");
  writePackage(root, "web", "system", root + "/packages/web.bdl");
  writePackage(root, "drivers", "", root + "/drivers/" + kDriverRelease + ".bdl");
  writeFile(root + "/scripts/autorun.scr", "hostname router\n");
  return root;
}

void removeServerRoot(const std::string& root) {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
