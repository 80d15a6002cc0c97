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
//
// Walks remember what each link they followed led to (ResolvedLinks), so a
// chain of links met again costs one step; a replaced link clears them.
//
// Where the kernel has openat2, a way without links is looked up in one call
// that refuses links and any way out of the root; a way with a link on it,
// or one that is missing, is walked as above. So both lookups refuse exactly
// the same ways, and where openat2 is missing (older kernels, the user-mode
// emulators that run 32-bit programs on some machines) every way is walked.

#include <sys/types.h>

#include <string>
#include <vector>

#include "remembered_directories.h"
#include "resolved_links.h"

namespace libinstall {

// The reason a walk gives for a symbolic link that climbs above the root.
extern const char* const kLeadsOutOfTheRoot;

class RootDir {
 public:
  // How ways are looked up: with openat2 where the kernel has it, or always
  // walked (the same answers, more system calls).
  enum class Lookup { kernelWhereAvailable, walkOnly };

  explicit RootDir(Lookup lookup = Lookup::kernelWhereAvailable);
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
  // or forget(). The directories of recent members are remembered
  // (RememberedDirectories), so members that come back to one reuse it.
  int parentOf(const std::vector<std::string>& components, std::string* error);

  // Call before the existing entry `name` in `parent` (from parentOf) is
  // replaced: when it is a symbolic link, remembered ways that took links
  // are looked up again, since this may have been one of their links.
  void entryChanging(int parent, const std::string& name);

  // True when ways without links are looked up with openat2.
  bool usesKernelLookup() const { return kernelLookup_; }

  // From now on every walk that ends in the directory `fd` is open on, or
  // would make a directory in it, fails: the package database belongs to the
  // library, not to packages.
  bool fenceOff(int fd);

  void forget();

 private:
  int lookUp(const std::vector<std::string>& components, size_t count, bool create,
             bool* throughLinks, std::string* error);
  int walk(const std::vector<std::string>& components, size_t count, bool create,
           bool* throughLinks, std::string* error);
  int walkOnce(const std::vector<std::string>& components, size_t count, bool create,
               bool rememberLinks, bool* throughLinks, std::string* error);
  bool isFenced(int fd) const;

  int rootFd_ = -1;
  dev_t rootDevice_ = 0;
  ino_t rootInode_ = 0;
  bool kernelLookup_;
  RememberedDirectories remembered_;
  ResolvedLinks resolvedLinks_;
  bool fenced_ = false;
  dev_t fenceDevice_ = 0;
  ino_t fenceInode_ = 0;
};

}  // namespace libinstall
