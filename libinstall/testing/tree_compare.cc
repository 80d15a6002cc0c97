#include "tree_compare.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <utility>
#include <vector>

#include "package_builder.h"

namespace package_testing {
namespace {

void walk(const std::string& root, const std::string& relative,
          std::map<std::string, TreeEntry>* entries,
          std::map<std::pair<dev_t, ino_t>, std::string>* firstPath) {
  std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string full = root + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    TreeEntry entry;
    entry.mode = st.st_mode & 07777;
    entry.uid = st.st_uid;
    entry.gid = st.st_gid;
    entry.mtimeSeconds = st.st_mtim.tv_sec;
    entry.mtimeNanoseconds = st.st_mtim.tv_nsec;
    if (S_ISDIR(st.st_mode)) {
      entry.type = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      entry.type = 'l';
      entry.mode = 0;  // not meaningful for links
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      entry.content.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      entry.type = 'f';
      entry.content = readFile(full);
      auto key = std::make_pair(st.st_dev, st.st_ino);
      auto inserted = firstPath->emplace(key, rel);
      entry.linkGroup = inserted.first->second;
    }
    (*entries)[rel] = entry;
    if (entry.type == 'd') walk(root, rel, entries, firstPath);
  }
}

}  // namespace

std::map<std::string, TreeEntry> snapshotTree(const std::string& root) {
  std::map<std::string, TreeEntry> entries;
  std::map<std::pair<dev_t, ino_t>, std::string> firstPath;
  walk(root, "", &entries, &firstPath);
  return entries;
}

std::string describeDifferences(const std::map<std::string, TreeEntry>& expected,
                                const std::map<std::string, TreeEntry>& actual) {
  std::ostringstream out;
  int reported = 0;
  auto note = [&](const std::string& path, const std::string& what) {
    if (++reported <= 40) out << path << ": " << what << "\n";
  };
  for (const auto& [path, want] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) {
      note(path, "missing");
      continue;
    }
    const TreeEntry& got = found->second;
    if (got.type != want.type) note(path, std::string("type ") + got.type + " != " + want.type);
    if (got.mode != want.mode) note(path, "mode " + std::to_string(got.mode) + " != " + std::to_string(want.mode));
    if (got.uid != want.uid || got.gid != want.gid) note(path, "owner differs");
    if (got.mtimeSeconds != want.mtimeSeconds || got.mtimeNanoseconds != want.mtimeNanoseconds) {
      note(path, "time " + std::to_string(got.mtimeSeconds) + "." + std::to_string(got.mtimeNanoseconds) +
                     " != " + std::to_string(want.mtimeSeconds) + "." +
                     std::to_string(want.mtimeNanoseconds));
    }
    if (got.content != want.content) note(path, "content differs");
    if (got.linkGroup != want.linkGroup) note(path, "hard links differ");
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) note(entry.first, "unexpected");
  }
  return out.str();
}

}  // namespace package_testing
