#include "pending_directories.h"

#include <algorithm>

#include "package_limits.h"

namespace libinstall {

bool PendingDirectories::remember(const std::string& path, const Member& member,
                                  std::string* error) {
  auto found = entries_.find(path);
  if (found == entries_.end()) {
    size_t cost = path.size() + kDirectoryEntryCost;
    if (memory_ + cost > kMaxDirectoryMemory) {
      *error = "too many directories in one package (their paths need more than " +
               std::to_string(kMaxDirectoryMemory / 1024) + " KiB)";
      return false;
    }
    memory_ += cost;
    found = entries_.emplace(path, DirectoryAttributes()).first;
  }
  DirectoryAttributes& attributes = found->second;
  attributes.mode = member.mode;
  attributes.uid = member.uid;
  attributes.gid = member.gid;
  attributes.mtimeSeconds = member.mtimeSeconds;
  attributes.mtimeNanoseconds = member.mtimeNanoseconds;
  return true;
}

std::vector<PendingDirectories::Entry> PendingDirectories::deepestFirst() const {
  std::vector<Entry> order;
  order.reserve(entries_.size());
  for (const auto& entry : entries_) {
    size_t depth = static_cast<size_t>(std::count(entry.first.begin(), entry.first.end(), '/'));
    order.push_back(Entry{&entry.first, &entry.second, depth});
  }
  std::sort(order.begin(), order.end(),
            [](const Entry& a, const Entry& b) { return a.depth > b.depth; });
  return order;
}

void PendingDirectories::clear() {
  entries_.clear();
  memory_ = 0;
}

}  // namespace libinstall
