// media/module-map.txt places today's kernel modules at the entries of the
// installer's fixed lists. Its entries must be exactly those lists, and, read
// with modinfo from Debian's i386 kernel (the cache the QEMU tests use), every
// module must exist and come after everything it depends on: the loader
// resolves nothing and loads in list order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hardware/module_loader.h"

namespace {

struct Placement {
  std::string entry;   // path the installer loads
  std::string module;  // file of today's kernel placed there
};

std::vector<Placement> readMap() {
  std::ifstream in(KORVANEL_SOURCE_DIR "/media/module-map.txt");
  std::vector<Placement> placements;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Placement placement;
    std::string extra;
    if (!(fields >> placement.entry >> placement.module) || (fields >> extra)) {
      ADD_FAILURE() << "not two fields: " << line;
      continue;
    }
    placements.push_back(placement);
  }
  return placements;
}

std::string moduleDirectory() {
  const char* cache = getenv("KORVANEL_CACHE");
  std::string base = cache != nullptr ? cache : KORVANEL_SOURCE_DIR "/build/cache";
  std::ifstream release(base + "/kernel/release");
  std::string text;
  if (!std::getline(release, text)) return "";
  return base + "/kernel/root/lib/modules/" + text;
}

std::vector<std::string> modinfo(const std::string& field, const std::string& file) {
  std::string command = "modinfo -F " + field + " '" + file + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char buffer[512];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  if (pipe != nullptr) pclose(pipe);
  std::vector<std::string> words;
  for (char& c : text) {
    if (c == ',') c = ' ';
  }
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The kernel treats "-" and "_" in module names alike.
std::string canonical(std::string name) {
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

TEST(ModuleMap, EntriesAreTheInstallersListsInOrderAndNoModuleTwice) {
  std::vector<std::string> entries;
  for (const char* const* list : {storageModules, usbModules}) {
    for (const char* const* entry = list; *entry != nullptr; ++entry) entries.push_back(*entry);
  }
  std::vector<Placement> placements = readMap();
  ASSERT_EQ(placements.size(), entries.size());
  std::set<std::string> modules;
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(placements[i].entry, entries[i]) << "line " << i + 1 << " of the map";
    EXPECT_TRUE(modules.insert(placements[i].module).second) << placements[i].module;
  }
}

TEST(ModuleMap, EveryModuleExistsAndComesAfterItsDependencies) {
  std::string directory = moduleDirectory();
  if (directory.empty()) {
    // `make check` fetches the kernel: there a missing cache is a failure.
    if (getenv("KORVANEL_REQUIRE_MACHINES") != nullptr) FAIL() << "no kernel cache";
    GTEST_SKIP() << "no kernel cache (scripts/fetch-kernel.sh)";
  }
  std::vector<Placement> placements = readMap();
  std::map<std::string, size_t> position;  // module name or alias -> place
  for (size_t i = 0; i < placements.size(); ++i) {
    std::string file = directory + "/" + placements[i].module;
    std::vector<std::string> name = modinfo("name", file);
    ASSERT_EQ(name.size(), 1u) << "no module at " << placements[i].module;
    position.emplace(canonical(name[0]), i);
    for (const std::string& alias : modinfo("alias", file)) position.emplace(canonical(alias), i);
  }
  for (size_t i = 0; i < placements.size(); ++i) {
    std::string file = directory + "/" + placements[i].module;
    for (const std::string& needed : modinfo("depends", file)) {
      auto found = position.find(canonical(needed));
      ASSERT_NE(found, position.end()) << placements[i].module << " needs " << needed
                                       << ", which no entry carries";
      EXPECT_LT(found->second, i) << placements[i].module << " is loaded before " << needed;
    }
    // Soft dependencies ("pre: crypto-crc32c") must come first when they are
    // carried at all: ext4 mounts nothing without crc32c.
    for (const std::string& soft : modinfo("softdep", file)) {
      if (soft == "pre:" || soft == "post:") continue;
      auto found = position.find(canonical(soft));
      if (found != position.end()) {
        EXPECT_LT(found->second, i) << placements[i].module << " wants " << soft << " first";
      }
    }
  }
  EXPECT_TRUE(position.count("crc32c")) << "ext4 needs a crc32c implementation";
}

}  // namespace
