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
// itself is never on the stack, so there is nothing above it to pop to. A
// remembered link outcome puts its end on the stack as one entry standing
// for several levels, without the ones between: popping into such an entry
// fails, and the walk is made again without remembered outcomes.
class WalkStack {
 public:
  explicit WalkStack(int rootFd) : rootFd_(rootFd) {}
  ~WalkStack() { clear(); }
  int top() const { return entries_.empty() ? rootFd_ : entries_.back().fd; }
  bool atRoot() const { return entries_.empty(); }
  size_t depth() const { return depth_; }
  void push(int fd, size_t levels = 1) {
    entries_.push_back({fd, levels});
    depth_ += levels;
  }
  // False when the level above the top is not on the stack.
  [[nodiscard]] bool pop() {
    if (entries_.back().levels > 1) return false;
    drop();
    return true;
  }
  void clear() {
    while (!entries_.empty()) drop();
  }
  // Hands the top directory to the caller as its own descriptor.
  int release() {
    if (entries_.empty()) return fcntl(rootFd_, F_DUPFD_CLOEXEC, 0);
    int fd = entries_.back().fd;
    depth_ -= entries_.back().levels;
    entries_.pop_back();
    return fd;
  }

 private:
  struct Entry {
    int fd;
    size_t levels;
  };
  void drop() {
    close(entries_.back().fd);
    depth_ -= entries_.back().levels;
    entries_.pop_back();
  }

  int rootFd_;
  std::vector<Entry> entries_;
  size_t depth_ = 0;
};

// A link being followed: where the walk stood when it met it, so that its
// outcome can be remembered once its target is used up. Only an outcome
// that depends on nothing above the link's directory is remembered: none
// whose way climbed above it or restarted at the root.
struct FollowedLink {
  dev_t device;
  ino_t inode;
  std::string name;
  size_t pendingBefore;  // components left besides the target
  size_t startDepth;
  int startLinks;
  size_t startComponents;
  size_t deepest;
  bool selfContained;
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

// walk()'s answer when a remembered outcome stood in the way of a "..".
constexpr int kWalkAgain = -2;

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
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  forget();
  if (rootFd_ >= 0) close(rootFd_);
  rootFd_ = fd;
  rootDevice_ = st.st_dev;
  rootInode_ = st.st_ino;
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
  int fd = walkOnce(components, count, create, /*rememberLinks=*/true, throughLinks, error);
  if (fd != kWalkAgain) return fd;
  return walkOnce(components, count, create, /*rememberLinks=*/false, throughLinks, error);
}

int RootDir::walkOnce(const std::vector<std::string>& components, size_t count, bool create,
                      bool rememberLinks, bool* throughLinks, std::string* error) {
  std::deque<std::string> pending(components.begin(), components.begin() + count);
  WalkStack stack(rootFd_);
  int linksFollowed = 0;
  size_t linkComponents = 0;
  std::vector<FollowedLink> following;
  // Remembers the links whose targets are used up, innermost first.
  auto finishLinks = [&]() {
    while (!following.empty() && following.back().pendingBefore == pending.size()) {
      FollowedLink& link = following.back();
      if (rememberLinks && link.selfContained) {
        LinkOutcome outcome;
        outcome.depthGain = stack.depth() - link.startDepth;
        outcome.deepestGain = link.deepest - link.startDepth;
        outcome.links = linksFollowed - link.startLinks;
        outcome.components = linkComponents - link.startComponents;
        outcome.fd = outcome.depthGain > 0 ? fcntl(stack.top(), F_DUPFD_CLOEXEC, 0) : -1;
        if (outcome.depthGain == 0 || outcome.fd >= 0) {
          resolvedLinks_.add(link.device, link.inode, std::move(link.name), outcome);
        }
      }
      size_t deepest = link.deepest;
      following.pop_back();
      if (!following.empty()) following.back().deepest = std::max(following.back().deepest, deepest);
    }
  };
  auto reached = [&](size_t depth) {
    if (!following.empty()) following.back().deepest = std::max(following.back().deepest, depth);
  };
  // Takes what the link `name` of the directory (device, inode) led to
  // before, where following it again would stay within every bound; 1 when
  // taken, 0 when it must be followed step by step (which fails where it
  // must), -1 with errno.
  auto takeKnownLink = [&](dev_t device, ino_t inode, const std::string& name) {
    const LinkOutcome* known = rememberLinks ? resolvedLinks_.find(device, inode, name) : nullptr;
    if (known == nullptr || linksFollowed + known->links > kMaxLinksFollowed ||
        linkComponents + known->components > kMaxLinkComponents ||
        stack.depth() + known->deepestGain > kMaxDepth) {
      return 0;
    }
    if (known->depthGain > 0) {
      int end = fcntl(known->fd, F_DUPFD_CLOEXEC, 0);
      if (end < 0) return -1;
      stack.push(end, known->depthGain);
    }
    *throughLinks = true;
    linksFollowed += known->links;
    linkComponents += known->components;
    reached(stack.depth() - known->depthGain + known->deepestGain);
    return 1;
  };
  for (;;) {
    finishLinks();
    if (pending.empty()) break;
    std::string name = std::move(pending.front());
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.atRoot()) return fail(error, kLeadsOutOfTheRoot);
      if (!stack.pop()) return kWalkAgain;
      for (FollowedLink& link : following) {
        if (stack.depth() < link.startDepth) link.selfContained = false;
      }
      continue;
    }
    // A link of the root needs no look to be known again.
    if (stack.atRoot() && !resolvedLinks_.empty()) {
      int taken = takeKnownLink(rootDevice_, rootInode_, name);
      if (taken < 0) return fail(error, strerror(errno));
      if (taken > 0) continue;
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
      reached(stack.depth());
      continue;
    }
    int openError = errno;
    if (openError != ENOTDIR && openError != ELOOP) return fail(error, strerror(openError));
    // Where the link lies, to know it again.
    struct stat here;
    if (stack.atRoot()) {
      here.st_dev = rootDevice_;
      here.st_ino = rootInode_;
    } else if (fstat(stack.top(), &here) != 0) {
      return fail(error, strerror(errno));
    }
    int taken = takeKnownLink(here.st_dev, here.st_ino, name);
    if (taken < 0) return fail(error, strerror(errno));
    if (taken > 0) continue;
    std::string target;
    LinkRead link = readLink(stack.top(), name, &target);
    if (link == LinkRead::notALink) return fail(error, "not a directory");
    *throughLinks = true;
    FollowedLink followed{here.st_dev, here.st_ino, name, pending.size(), stack.depth(),
                          linksFollowed, linkComponents, stack.depth(), /*selfContained=*/true};
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
    following.push_back(std::move(followed));
    if (target[0] == '/') {
      stack.clear();
      for (FollowedLink& outer : following) outer.selfContained = false;
    }
    insertLinkTarget(target, &pending);
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
  if (!remembered_.anyThroughLinks() && resolvedLinks_.empty()) return;
  struct stat st;
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    remembered_.linkReplaced();
    resolvedLinks_.clear();
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

void RootDir::forget() {
  remembered_.clear();
  resolvedLinks_.clear();
}

}  // namespace libinstall
