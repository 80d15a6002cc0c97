#pragma once
// What following a symbolic link did to a walk, remembered per link, so that
// the next walk meeting the same link takes all its steps at once: members
// that reach one chain of links through many ways do not pay for the chain
// each time. An outcome holds only while no link has been replaced (the
// caller clears them all then), and is taken only where the walk would
// reach the same end within the same bounds (RootDir::walk checks them).
//
// At most kMaxResolved links are remembered, each with one descriptor; the
// one used longest ago makes room.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace libinstall {

struct LinkOutcome {
  int fd = -1;             // where the link led (-1: the link's own directory)
  size_t depthGain = 0;    // levels below the link's directory where it ended
  size_t deepestGain = 0;  // levels below it at the deepest point on the way
  int links = 0;           // links followed, this one and those it led through
  size_t components = 0;   // components of their targets
};

class ResolvedLinks {
 public:
  static constexpr size_t kMaxResolved = 64;

  ResolvedLinks() = default;
  ~ResolvedLinks() { clear(); }
  ResolvedLinks(const ResolvedLinks&) = delete;
  ResolvedLinks& operator=(const ResolvedLinks&) = delete;

  // The outcome of the link `name` in the directory (device, inode), or null.
  const LinkOutcome* find(dev_t device, ino_t inode, const std::string& name);

  // Remembers an outcome; takes its descriptor.
  void add(dev_t device, ino_t inode, std::string name, const LinkOutcome& outcome);

  bool empty() const { return entries_.empty(); }
  void clear();

 private:
  struct Entry {
    dev_t device;
    ino_t inode;
    std::string name;
    LinkOutcome outcome;
    uint64_t lastUse;
  };
  std::vector<Entry> entries_;
  uint64_t clock_ = 0;
};

}  // namespace libinstall
