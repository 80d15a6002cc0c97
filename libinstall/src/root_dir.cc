#include "root_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "kernel_lookup.h"
#include "package_limits.h"

namespace libinstall {

const char* const kLeadsOutOfTheRoot = "symbolic link leads out of the root";

namespace {

constexpr mode_t kCreatedDirectoryMode = 0755;
constexpr const char* kInsideTheDatabase =
    "inside the package database (packages may not write there)";
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The directories of one walk, from the root down. ".." pops one; the root
// itself is never on the stack, so there is nothing above it to pop to.
class WalkStack {
 public:
  explicit WalkStack(int rootFd) : rootFd_(rootFd) {}
  ~WalkStack() { clear(); }
  int top() const { return fds_.empty() ? rootFd_ : fds_.back(); }
  bool atRoot() const { return fds_.empty(); }
  size_t depth() const { return fds_.size(); }
  void push(int fd) { fds_.push_back(fd); }
  void pop() {
    close(fds_.back());
    fds_.pop_back();
  }
  void clear() {
    while (!fds_.empty()) pop();
  }
  // Hands the top directory to the caller as its own descriptor.
  int release() {
    if (fds_.empty()) return fcntl(rootFd_, F_DUPFD_CLOEXEC, 0);
    int fd = fds_.back();
    fds_.pop_back();
    return fd;
  }

 private:
  int rootFd_;
  std::vector<int> fds_;
};

void insertLinkTarget(const std::string& target, std::deque<std::string>* pending) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= target.size()) {
    size_t slash = target.find('/', start);
    if (slash == std::string::npos) slash = target.size();
    parts.push_back(target.substr(start, slash - start));
    start = slash + 1;
  }
  pending->insert(pending->begin(), parts.begin(), parts.end());
}

enum class LinkRead { link, notALink, unreadable };

// Asks for the entry's target straight away: for anything but a symbolic
// link the answer is EINVAL, which saves looking at the entry first.
LinkRead readLink(int dirFd, const std::string& name, std::string* target) {
  char buffer[kMaxPathLength];
  ssize_t n = readlinkat(dirFd, name.c_str(), buffer, sizeof buffer);
  if (n < 0) return errno == EINVAL || errno == ENOENT ? LinkRead::notALink : LinkRead::unreadable;
  if (static_cast<size_t>(n) >= sizeof buffer) return LinkRead::unreadable;
  target->assign(buffer, static_cast<size_t>(n));
  return LinkRead::link;
}

std::string joinedWay(const std::vector<std::string>& components, size_t count) {
  std::string way;
  for (size_t i = 0; i < count; ++i) {
    if (i) way += '/';
    way += components[i];
  }
  return way;
}

int fail(std::string* error, const std::string& reason) {
  *error = reason;
  return -1;
}

}  // namespace

RootDir::RootDir(Lookup lookup)
    : kernelLookup_(lookup == Lookup::kernelWhereAvailable && kernelLookupAvailable()) {}

RootDir::~RootDir() {
  forget();
  if (rootFd_ >= 0) close(rootFd_);
}

bool RootDir::open(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  forget();
  if (rootFd_ >= 0) close(rootFd_);
  rootFd_ = fd;
  fenced_ = false;
  return true;
}

int RootDir::openDirectory(const std::vector<std::string>& components, size_t count, bool create,
                           std::string* error) {
  bool throughLinks = false;
  return lookUp(components, count, create, &throughLinks, error);
}

int RootDir::lookUp(const std::vector<std::string>& components, size_t count, bool create,
                    bool* throughLinks, std::string* error) {
  if (kernelLookup_ && count > 0) {
    // Member components are never "." or ".." (splitMemberPath), and a way
    // of plain directories is at most kMaxDepth deep: where the kernel finds
    // one, the walk would find the same directory.
    int fd = openDirectoryWithoutLinks(rootFd_, joinedWay(components, count));
    if (fd >= 0) {
      if (!isFenced(fd)) return fd;
      close(fd);
      return fail(error, kInsideTheDatabase);
    }
    // A link on the way, something missing, anything else: the walk decides
    // and gives the reason.
  }
  return walk(components, count, create, throughLinks, error);
}

int RootDir::walk(const std::vector<std::string>& components, size_t count, bool create,
                  bool* throughLinks, std::string* error) {
  std::deque<std::string> pending(components.begin(), components.begin() + count);
  WalkStack stack(rootFd_);
  int linksFollowed = 0;
  size_t linkComponents = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.front());
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.atRoot()) return fail(error, kLeadsOutOfTheRoot);
      stack.pop();
      continue;
    }
    // One descriptor per level: the depth bounds them, well below the
    // process's limit on open files.
    if (stack.depth() == kMaxDepth) {
      return fail(error, "deeper than " + std::to_string(kMaxDepth) + " directory levels");
    }
    int fd = openat(stack.top(), name.c_str(), kWalkFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (isFenced(stack.top())) return fail(error, kInsideTheDatabase);
      if (mkdirat(stack.top(), name.c_str(), kCreatedDirectoryMode) == 0) {
        // Exactly 0755 whatever the umask: the new system's tree must not
        // depend on the installer's.
        (void)fchmodat(stack.top(), name.c_str(), kCreatedDirectoryMode, 0);  // best effort
      } else if (errno != EEXIST) {
        return fail(error, strerror(errno));
      }
      fd = openat(stack.top(), name.c_str(), kWalkFlags);
    }
    if (fd >= 0) {
      stack.push(fd);
      continue;
    }
    int openError = errno;
    std::string target;
    LinkRead link = openError == ENOTDIR || openError == ELOOP
                        ? readLink(stack.top(), name, &target)
                        : LinkRead::notALink;
    if (link != LinkRead::notALink) {
      *throughLinks = true;
      if (++linksFollowed > kMaxLinksFollowed) {
        return fail(error, "too many symbolic links on the way (more than " +
                               std::to_string(kMaxLinksFollowed) + ")");
      }
      if (link == LinkRead::unreadable) return fail(error, "unreadable symbolic link");
      if (target.empty()) return fail(error, "empty symbolic link");
      linkComponents += 1 + static_cast<size_t>(std::count(target.begin(), target.end(), '/'));
      if (linkComponents > kMaxLinkComponents) {
        return fail(error, "symbolic link targets on the way too long (more than " +
                               std::to_string(kMaxLinkComponents) + " components)");
      }
      if (target[0] == '/') stack.clear();
      insertLinkTarget(target, &pending);
      continue;
    }
    return fail(error, openError == ENOTDIR || openError == ELOOP ? "not a directory"
                                                                  : strerror(openError));
  }
  // Records lie in the database directory itself: a walk may pass it, but
  // neither end there nor make a directory in it.
  if (isFenced(stack.top())) return fail(error, kInsideTheDatabase);
  int fd = stack.release();
  if (fd < 0) return fail(error, std::string("cannot open the root: ") + strerror(errno));
  return fd;
}

int RootDir::parentOf(const std::vector<std::string>& components, std::string* error) {
  size_t count = components.empty() ? 0 : components.size() - 1;
  std::string key = joinedWay(components, count);
  int fd = remembered_.find(key);
  if (fd >= 0) return fd;
  bool throughLinks = false;
  fd = lookUp(components, count, /*create=*/true, &throughLinks, error);
  if (fd < 0) return -1;
  remembered_.add(std::move(key), fd, throughLinks);
  return fd;
}

void RootDir::entryChanging(int parent, const std::string& name) {
  if (!remembered_.anyThroughLinks()) return;
  struct stat st;
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    remembered_.linkReplaced();
  }
}

bool RootDir::fenceOff(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  forget();  // a remembered way may end in the fenced directory
  fenced_ = true;
  fenceDevice_ = st.st_dev;
  fenceInode_ = st.st_ino;
  return true;
}

bool RootDir::isFenced(int fd) const {
  struct stat st;
  return fenced_ && fstat(fd, &st) == 0 && st.st_dev == fenceDevice_ && st.st_ino == fenceInode_;
}

void RootDir::forget() { remembered_.clear(); }

}  // namespace libinstall
