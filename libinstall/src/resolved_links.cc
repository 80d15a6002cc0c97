#include "resolved_links.h"

#include <unistd.h>

#include <algorithm>

namespace libinstall {

const LinkOutcome* ResolvedLinks::find(dev_t device, ino_t inode, const std::string& name) {
  for (Entry& entry : entries_) {
    if (entry.inode == inode && entry.device == device && entry.name == name) {
      entry.lastUse = ++clock_;
      return &entry.outcome;
    }
  }
  return nullptr;
}

void ResolvedLinks::add(dev_t device, ino_t inode, std::string name, const LinkOutcome& outcome) {
  if (entries_.size() == kMaxResolved) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
    if (oldest->outcome.fd >= 0) close(oldest->outcome.fd);
    entries_.erase(oldest);
  }
  entries_.push_back({device, inode, std::move(name), outcome, ++clock_});
}

void ResolvedLinks::clear() {
  for (const Entry& entry : entries_) {
    if (entry.outcome.fd >= 0) close(entry.outcome.fd);
  }
  entries_.clear();
}

}  // namespace libinstall
