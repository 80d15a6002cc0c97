#include "root_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace libinstall {
namespace {

constexpr mode_t kCreatedDirectoryMode = 0755;
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The directories of one walk, from the root down. ".." pops one; the root
// itself is never on the stack, so there is nothing above it to pop to.
class WalkStack {
 public:
  explicit WalkStack(int rootFd) : rootFd_(rootFd) {}
  ~WalkStack() { clear(); }
  int top() const { return fds_.empty() ? rootFd_ : fds_.back(); }
  bool atRoot() const { return fds_.empty(); }
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

void splitLinkTarget(const std::string& target, std::deque<std::string>* pending) {
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

bool readLink(int dirFd, const std::string& name, std::string* target) {
  char buffer[4096];
  ssize_t n = readlinkat(dirFd, name.c_str(), buffer, sizeof buffer);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
  target->assign(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace

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
  return true;
}

int RootDir::openDirectory(const std::vector<std::string>& components, size_t count, bool create,
                           std::string* error) {
  std::deque<std::string> pending(components.begin(), components.begin() + count);
  WalkStack stack(rootFd_);
  // Messages name the directory asked for, not the detours links took.
  std::string shown;
  for (size_t i = 0; i < count; ++i) shown += "/" + components[i];
  int linksFollowed = 0;
  while (!pending.empty()) {
    std::string name = pending.front();
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.atRoot()) {
        *error = shown + ": symbolic link leads out of the root";
        return -1;
      }
      stack.pop();
      continue;
    }
    int fd = openat(stack.top(), name.c_str(), kWalkFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (mkdirat(stack.top(), name.c_str(), kCreatedDirectoryMode) == 0) {
        // Exactly 0755 whatever the umask: the new system's tree must not
        // depend on the installer's.
        (void)fchmodat(stack.top(), name.c_str(), kCreatedDirectoryMode, 0);  // best effort
      } else if (errno != EEXIST) {
        *error = shown + ": " + strerror(errno);
        return -1;
      }
      fd = openat(stack.top(), name.c_str(), kWalkFlags);
    }
    if (fd >= 0) {
      stack.push(fd);
      continue;
    }
    int openError = errno;
    struct stat st;
    if ((openError == ENOTDIR || openError == ELOOP) &&
        fstatat(stack.top(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      std::string target;
      if (++linksFollowed > kMaxLinksFollowed || !readLink(stack.top(), name, &target)) {
        *error = shown + ": too many or unreadable symbolic links";
        return -1;
      }
      if (target.empty()) {
        *error = shown + ": empty symbolic link";
        return -1;
      }
      if (target[0] == '/') stack.clear();
      splitLinkTarget(target, &pending);
      continue;
    }
    *error = shown + ": " + (openError == ENOTDIR || openError == ELOOP
                                  ? std::string("not a directory")
                                  : std::string(strerror(openError)));
    return -1;
  }
  int fd = stack.release();
  if (fd < 0) *error = std::string("cannot open the root: ") + strerror(errno);
  return fd;
}

int RootDir::parentOf(const std::vector<std::string>& components, std::string* error) {
  std::string key;
  for (size_t i = 0; i + 1 < components.size(); ++i) key += (i ? "/" : "") + components[i];
  if (cachedFd_ >= 0 && key == cachedKey_) return cachedFd_;
  forget();
  int fd = openDirectory(components, components.empty() ? 0 : components.size() - 1,
                         /*create=*/true, error);
  if (fd < 0) return -1;
  cachedFd_ = fd;
  cachedKey_ = key;
  return fd;
}

void RootDir::invalidate(const std::string& path) {
  if (cachedFd_ < 0) return;
  if (cachedKey_ == path ||
      (cachedKey_.size() > path.size() && cachedKey_.compare(0, path.size(), path) == 0 &&
       cachedKey_[path.size()] == '/')) {
    forget();
  }
}

void RootDir::forget() {
  if (cachedFd_ >= 0) close(cachedFd_);
  cachedFd_ = -1;
  cachedKey_.clear();
}

}  // namespace libinstall
