#pragma once
// A directory tree that packages are installed into, and the one place that
// turns member paths into directories of it. Every walk starts at the root's
// descriptor and goes one component at a time without following symbolic
// links implicitly: a link on the way is followed only while it stays inside
// the root (absolute targets are taken from the root, as they are read once
// the root is the system's root), and a walk that would climb above the root
// fails. So nothing a package names, and no link it or an earlier package
// planted, can make a write land outside the root.

#include <string>
#include <vector>

namespace libinstall {

class RootDir {
 public:
  // Symbolic links followed in one walk before it is given up as a loop.
  static constexpr int kMaxLinksFollowed = 40;

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
  // with *error, which names the path and the reason.
  int openDirectory(const std::vector<std::string>& components, size_t count, bool create,
                    std::string* error);

  // The directory that holds the last component, created as needed. The
  // descriptor stays owned by this object and is valid until the next call,
  // forget() or invalidate(). Consecutive members of one directory reuse it.
  int parentOf(const std::vector<std::string>& components, std::string* error);

  // Drops the remembered parent when `path` (components joined by "/") is it
  // or one of the directories on its way: the caller is about to replace that
  // entry, so a later walk must look again.
  void invalidate(const std::string& path);
  void forget();

 private:
  int rootFd_ = -1;
  std::string cachedKey_;
  int cachedFd_ = -1;
};

}  // namespace libinstall
