#pragma once
// Test helper: an independent look at a directory tree through lstat, so
// installed trees can be compared with the trees that were packed.

#include <map>
#include <string>

namespace package_testing {

struct TreeEntry {
  char type = '?';  // 'f' file, 'd' directory, 'l' symbolic link
  unsigned mode = 0;
  unsigned uid = 0;
  unsigned gid = 0;
  long long mtimeSeconds = 0;
  long mtimeNanoseconds = 0;
  std::string content;     // files: the bytes; links: the target
  std::string linkGroup;   // files: the first path (sorted) sharing the inode
};

// Every entry below `root` (not the root itself), by path relative to it.
std::map<std::string, TreeEntry> snapshotTree(const std::string& root);

// "" when equal, else a line per difference (at most a few dozen).
std::string describeDifferences(const std::map<std::string, TreeEntry>& expected,
                                const std::map<std::string, TreeEntry>& actual);

}  // namespace package_testing
