// A package stream installed through the package library's own entry
// (Repo::initAt + Repo::installFrom, as the installer's child and `bdl
// extract` do) into a scratch root. Besides the sanitizers' findings, the
// target checks that nothing was created outside the root: bait directories
// beside it and one level up stay empty, and nothing else appears there.

#include <dirent.h>
#include <ftw.h>
#include <libinstall/repo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>

#include "fuzz_check.h"
#include "package_input.h"

namespace {

// scratch/outer-bait, scratch/inner/bait, scratch/inner/root
std::string scratch, inner, root;

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};
NullBuffer nothing;

std::set<std::string> names(const std::string& directory) {
  std::set<std::string> found;
  DIR* dir = opendir(directory.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") found.insert(name);
  }
  closedir(dir);
  return found;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void emptyRoot() {
  for (const std::string& name : names(root)) {
    FUZZ_CHECK(nftw((root + "/" + name).c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0);
  }
}

void removeScratch() { (void)nftw(scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

}  // namespace

// Freed memory is held back for use-after-free checks; the library's copy
// buffer and its decompressor's state are large, and a quarantine of the
// default size makes every input fault their pages in afresh.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where the system offers it: a disk file system makes every
  // directory cost more than the rest of the input.
  char pattern[] = "/dev/shm/korvanel-fuzz-package.XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr);
  scratch = pattern;
  inner = scratch + "/inner";
  root = inner + "/root";
  for (const std::string& directory : {scratch + "/outer-bait", inner, inner + "/bait", root}) {
    FUZZ_CHECK(mkdir(directory.c_str(), 0755) == 0);
  }
  atexit(removeScratch);
  // The library's one line per refused package is no finding.
  std::cerr.rdbuf(&nothing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream package(fuzz::packageBytes(data, size));
  Repo* repo = Repo::getRepo();
  std::string error;
  FUZZ_CHECK(repo->initAt(root, /*runningSystem=*/false, &error));
  std::map<std::string, bool> installed;
  bool ok = repo->installFrom(package, Repo::kReplaceFiles, installed);
  for (const auto& [name, result] : installed) FUZZ_CHECK(result == ok && !name.empty());

  FUZZ_CHECK(names(scratch) == (std::set<std::string>{"inner", "outer-bait"}));
  FUZZ_CHECK(names(inner) == (std::set<std::string>{"bait", "root"}));
  FUZZ_CHECK(names(scratch + "/outer-bait").empty());
  FUZZ_CHECK(names(inner + "/bait").empty());
  struct stat st;
  FUZZ_CHECK(lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  emptyRoot();
  return 0;
}
