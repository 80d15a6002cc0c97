#pragma once
// The owners, modes and times of a package's directories, kept until the
// package ends: files arriving in a directory change its time, and a
// read-only mode must not keep them out. One entry per distinct directory,
// so a directory given again only replaces its entry, and all of them
// together are held to kMaxDirectoryMemory (package_limits.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tar_format.h"

namespace libinstall {

struct DirectoryAttributes {
  uint32_t mode = 0;
  uint64_t uid = 0;
  uint64_t gid = 0;
  int64_t mtimeSeconds = 0;
  uint32_t mtimeNanoseconds = 0;
};

class PendingDirectories {
 public:
  struct Entry {
    const std::string* path;
    const DirectoryAttributes* attributes;
    size_t depth;  // components of the path but one
  };

  // Remembers the attributes `member` gives the directory at `path` (its
  // components joined by "/"); a later call for the same path replaces them.
  // False with *error when the package's directories need more memory than
  // the limit allows.
  bool remember(const std::string& path, const Member& member, std::string* error);

  // Every remembered directory, deepest first: a directory gets its
  // attributes after everything inside it.
  std::vector<Entry> deepestFirst() const;

  void clear();

 private:
  std::unordered_map<std::string, DirectoryAttributes> entries_;
  size_t memory_ = 0;
};

}  // namespace libinstall
