#include "remembered_directories.h"

#include <unistd.h>

#include <algorithm>

namespace libinstall {

int RememberedDirectories::find(const std::string& key) {
  for (Entry& entry : entries_) {
    if (!entry.retired && entry.key == key) {
      entry.lastUse = ++clock_;
      return entry.fd;
    }
  }
  return -1;
}

void RememberedDirectories::add(std::string key, int fd, bool throughLinks) {
  dropRetired();
  if (entries_.size() == kMaxRemembered) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
    if (oldest->throughLinks) --throughLinks_;
    close(oldest->fd);
    entries_.erase(oldest);
  }
  if (throughLinks) ++throughLinks_;
  entries_.push_back({std::move(key), fd, throughLinks, /*retired=*/false, ++clock_});
}

void RememberedDirectories::linkReplaced() {
  for (Entry& entry : entries_) {
    if (entry.throughLinks && !entry.retired) entry.retired = true;
  }
  throughLinks_ = 0;
}

void RememberedDirectories::dropRetired() {
  auto retired = [](const Entry& entry) {
    if (entry.retired) close(entry.fd);
    return entry.retired;
  };
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), retired), entries_.end());
}

void RememberedDirectories::clear() {
  for (const Entry& entry : entries_) close(entry.fd);
  entries_.clear();
  throughLinks_ = 0;
}

}  // namespace libinstall
