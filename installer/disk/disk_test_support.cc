#include "disk_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

std::string readFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "(missing)";
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) abort();
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) abort();
  close(fd);
  chmod(path.c_str(), mode);
}

int runInChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool TreeEntry::operator==(const TreeEntry& o) const {
  return type == o.type && mode == o.mode && uid == o.uid && gid == o.gid && size == o.size &&
         accessNanoseconds == o.accessNanoseconds && modifyNanoseconds == o.modifyNanoseconds &&
         contentHash == o.contentHash;
}

namespace {

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

void describeInto(const std::string& top, const std::string& relative, TreeDescription& out) {
  std::string path = relative.empty() ? top : top + "/" + relative;
  struct stat st;
  TreeEntry entry{};
  if (stat(path.c_str(), &st) != 0) {
    entry.type = '!';
    out[relative] = entry;
    return;
  }
  entry.type = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : '?';
  entry.mode = st.st_mode;
  entry.uid = st.st_uid;
  entry.gid = st.st_gid;
  entry.size = entry.type == 'f' ? static_cast<uint64_t>(st.st_size) : 0;
  entry.accessNanoseconds = nanoseconds(st.st_atim);
  entry.modifyNanoseconds = nanoseconds(st.st_mtim);
  if (entry.type == 'f') entry.contentHash = fnv1a(readFile(path));
  out[relative] = entry;
  if (entry.type != 'd') return;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    describeInto(top, relative.empty() ? name : relative + "/" + name, out);
  }
}

std::string show(const TreeEntry& e) {
  std::ostringstream text;
  text << e.type << " mode=" << std::oct << e.mode << std::dec << " uid=" << e.uid
       << " gid=" << e.gid << " size=" << e.size << " atime=" << e.accessNanoseconds
       << " mtime=" << e.modifyNanoseconds << " hash=" << e.contentHash;
  return text.str();
}

}  // namespace

TreeDescription describeTree(const std::string& top) {
  TreeDescription out;
  describeInto(top, "", out);
  return out;
}

std::string treeDifferences(const TreeDescription& expected, const TreeDescription& actual) {
  std::string text;
  int shown = 0;
  for (const auto& [path, entry] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) {
      text += "missing: '" + path + "'\n";
    } else if (!(found->second == entry)) {
      text += "differs: '" + path + "'\n  expected " + show(entry) + "\n  actual   " +
              show(found->second) + "\n";
    } else {
      continue;
    }
    if (++shown == 10) return text + "...\n";
  }
  for (const auto& [path, entry] : actual) {
    if (expected.count(path) == 0) text += "unexpected: '" + path + "'\n";
  }
  return text;
}

namespace {

struct TreeBuilder {
  std::mt19937 random;
  std::vector<std::string> directories;  // relative, "" is the top
  std::vector<std::string> files;
  std::string top;
  int entries = 0;

  uint32_t pick(uint32_t n) { return random() % n; }
  std::string full(const std::string& relative) const {
    return relative.empty() ? top : top + "/" + relative;
  }
  std::string child(const std::string& parent, const std::string& name) const {
    return parent.empty() ? name : parent + "/" + name;
  }

  void setOwnerModeTimes(const std::string& path, mode_t mode) {
    static const uid_t kOwners[] = {0, 1, 2, 100, 1000, 1001, 4242, 65534};
    if (chown(path.c_str(), kOwners[pick(8)], kOwners[pick(8)]) != 0) abort();
    if (chmod(path.c_str(), mode) != 0) abort();
    setTimes(path);
  }

  void setTimes(const std::string& path) {
    // Modification times anywhere from 2001 on; access times between 2035
    // and 2037, ahead of every other time, so that reads leave them alone.
    struct timespec times[2];
    times[0].tv_sec = 2051222400 + pick(60000000);
    times[0].tv_nsec = pick(1000000000);
    times[1].tv_sec = 978307200 + pick(900000000);
    times[1].tv_nsec = pick(1000000000);
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) abort();
  }

  std::string content(uint64_t size) {
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>(random());
    return text;
  }

  uint64_t fileSize() {
    static const uint64_t kFixed[] = {0, 1, 15999, 16000, 16001, 32000, 47999};
    switch (pick(5)) {
      case 0: return kFixed[pick(7)];
      case 1: return 16001 + pick(60000);
      default: return pick(4000);
    }
  }
};

}  // namespace

int buildRandomTree(const std::string& top, uint32_t seed, int files) {
  static const mode_t kFileModes[] = {0644, 0600, 0755, 04755, 02755, 06711, 04711,
                                      0444, 0640, 01644, 0};
  static const mode_t kDirectoryModes[] = {0755, 0700, 01777, 02775, 02755, 0555, 0711};
  TreeBuilder b;
  b.random.seed(seed);
  b.top = top;
  if (mkdir(top.c_str(), 0755) != 0) abort();
  b.directories.push_back("");
  b.entries = 1;

  // A deep chain first, then a bushy tree around it.
  std::string deep = "";
  for (int level = 0; level < 40; ++level) {
    deep = b.child(deep, "level" + std::to_string(level));
    if (mkdir(b.full(deep).c_str(), 0755) != 0) abort();
    b.directories.push_back(deep);
    ++b.entries;
  }
  for (int i = 0; i < files / 8 + 1; ++i) {
    std::string parent = b.directories[b.pick(b.directories.size())];
    std::string dir = b.child(parent, "dir" + std::to_string(i));
    if (mkdir(b.full(dir).c_str(), 0755) != 0) abort();
    b.directories.push_back(dir);
    ++b.entries;
  }
  // One empty directory at least.
  std::string empty = b.child("", "empty");
  if (mkdir(b.full(empty).c_str(), 0755) != 0) abort();
  b.directories.push_back(empty);
  ++b.entries;

  for (int i = 0; i < files; ++i) {
    std::string parent = b.directories[b.pick(b.directories.size() - 1)];  // not "empty"
    std::string file = b.child(parent, "file" + std::to_string(i));
    writeFile(b.full(file), b.content(b.fileSize()), 0600);
    b.files.push_back(file);
    ++b.entries;
  }
  // Two directories that links point to. Nothing random goes into them, so
  // no link can lead back to a directory above itself.
  std::vector<std::string> shared;
  for (int i = 0; i < 2; ++i) {
    std::string dir = "shared" + std::to_string(i);
    std::string sub = dir + "/inner";
    if (mkdir(b.full(dir).c_str(), 0755) != 0 || mkdir(b.full(sub).c_str(), 0755) != 0) abort();
    for (const std::string& file : {dir + "/a", dir + "/b", sub + "/c"}) {
      writeFile(b.full(file), b.content(b.fileSize()), 0600);
      b.files.push_back(file);
      ++b.entries;
    }
    shared.push_back(dir);
    b.entries += 2;
  }
  // Links, followed by the snapshot: to files (relative and absolute) and to
  // directories holding files.
  for (int i = 0; i < files / 20 + 3; ++i) {
    std::string parent = b.directories[b.pick(b.directories.size() - 1)];
    std::string link = b.full(b.child(parent, "link" + std::to_string(i)));
    std::string target = i % 3 == 2 ? b.full(shared[b.pick(2)])
                                    : b.full(b.files[b.pick(b.files.size())]);
    if (i % 3 == 1) {  // relative to the link's directory
      std::string up;
      for (char c : parent) up += c == '/' ? "/.." : "";
      target = (parent.empty() ? "." : ".." + up) + target.substr(top.size());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) abort();
  }
  for (const std::string& dir : shared) {
    b.directories.push_back(dir);
    b.directories.push_back(dir + "/inner");
  }

  for (const std::string& file : b.files) {
    b.setOwnerModeTimes(b.full(file), kFileModes[b.pick(11)]);
  }
  // Directories last and deepest first, so that filling them moves no time.
  for (auto it = b.directories.rbegin(); it != b.directories.rend(); ++it) {
    b.setOwnerModeTimes(b.full(*it), it->empty() ? 0755 : kDirectoryModes[b.pick(7)]);
  }
  return b.entries;
}
