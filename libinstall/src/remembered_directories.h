#pragma once
// The directories that members' ways led to lately, so that members which
// alternate between a few directories (or sit behind a chain of links) do
// not pay for their way again and again. A way that took no symbolic link
// passed only directories, and no member ever replaces a directory: it stays
// right for good. One that took links stays right only until some link is
// replaced, which may be any of them: linkReplaced() then retires them all.
//
// At most kMaxRemembered directories are held, each by one descriptor; the
// one used longest ago makes room.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace libinstall {

class RememberedDirectories {
 public:
  static constexpr size_t kMaxRemembered = 16;

  RememberedDirectories() = default;
  ~RememberedDirectories() { clear(); }
  RememberedDirectories(const RememberedDirectories&) = delete;
  RememberedDirectories& operator=(const RememberedDirectories&) = delete;

  // The descriptor remembered for the way `key` (still owned here), or -1.
  int find(const std::string& key);

  // Takes `fd` as the directory of the way `key`. REQUIRES: find(key) gave
  // -1. Closes retired entries, and the oldest one when all places are
  // taken: call it only when no descriptor found earlier is in use.
  void add(std::string key, int fd, bool throughLinks);

  // Some symbolic link is about to be replaced: ways that took links are
  // no longer found. Their descriptors stay open until the next add() or
  // clear(), as the caller may still be using one.
  void linkReplaced();

  // True when a remembered way took links (only then does a replaced link
  // matter).
  bool anyThroughLinks() const { return throughLinks_ > 0; }

  void clear();

 private:
  struct Entry {
    std::string key;
    int fd;
    bool throughLinks;
    bool retired;
    uint64_t lastUse;
  };
  void dropRetired();

  std::vector<Entry> entries_;
  size_t throughLinks_ = 0;  // live entries whose way took links
  uint64_t clock_ = 0;
};

}  // namespace libinstall
