#pragma once
// A directory tree that packages are installed into, and the one place that
// turns member paths into directories of it. Every walk starts at the root's
// descriptor and goes one component at a time without following symbolic
// links implicitly: a link on the way is followed only while it stays inside
// the root (absolute targets are taken from the root, as they are read once
// the root is the system's root), and a walk that would climb above the root
// fails. So nothing a package names, and no link it or an earlier package
// planted, can make a write land outside the root.
//
// A walk's work is bounded (package_limits.h): at most kMaxDepth levels held
// open, kMaxLinksFollowed links and kMaxLinkComponents components of their
// targets, so no member costs more than a fixed number of steps.

#include <sys/types.h>

#include <string>
#include <vector>

namespace libinstall {

// The reason a walk gives for a symbolic link that climbs above the root.
extern const char* const kLeadsOutOfTheRoot;

class RootDir {
 public:
  RootDir() = default;
  ~RootDir();
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;

  // Opens the directory at `path` as the root. False with *error.
  bool open(const std::string& path, std::string* error);
  int fd() const { return rootFd_; }

  // Opens the directory named by the first `count` components (all of them
  // cleared by splitMemberPath). Missing directories are created with mode
  // 0755 when `create` is set. Returns a descriptor the caller closes, or -1
  // with *error, which gives the reason; the caller names the path.
  int openDirectory(const std::vector<std::string>& components, size_t count, bool create,
                    std::string* error);

  // The directory that holds the last component, created as needed. The
  // descriptor stays owned by this object and is valid until the next call
  // or forget(). Consecutive members of one directory reuse it.
  int parentOf(const std::vector<std::string>& components, std::string* error);

  // Call before the entry `name` in `parent` (from parentOf) is created,
  // replaced or kept: when it is a symbolic link, the remembered parent is
  // walked again next time if its walk took links, since this may be one.
  void entryChanging(int parent, const std::string& name);

  // From now on every walk that ends in the directory `fd` is open on, or
  // would make a directory in it, fails: the package database belongs to the
  // library, not to packages.
  bool fenceOff(int fd);

  void forget();

 private:
  int walk(const std::vector<std::string>& components, size_t count, bool create,
           bool* throughLinks, std::string* error);
  bool isFenced(int fd) const;

  int rootFd_ = -1;
  std::string cachedKey_;
  int cachedFd_ = -1;
  bool cachedThroughLinks_ = false;
  bool cacheStale_ = false;
  bool fenced_ = false;
  dev_t fenceDevice_ = 0;
  ino_t fenceInode_ = 0;
};

}  // namespace libinstall
