#include "extractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "member_path.h"

namespace libinstall {
namespace {

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

timespec toTimespec(const Member& member) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(member.mtimeSeconds);
  t.tv_nsec = static_cast<long>(member.mtimeNanoseconds);
  return t;
}

bool writeAllTo(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Extractor::Extractor(RootDir& root, ExtractOptions options)
    : root_(root), options_(options), buffer_(new char[kCopyBlock]) {}

Extractor::~Extractor() = default;

std::string Extractor::temporaryName() {
  return ".bdl-" + std::to_string(getpid()) + "-" + std::to_string(++temporaryCounter_);
}

bool Extractor::install(const Member& member, const std::vector<std::string>& components,
                        ArchiveReader& reader, std::string* error) {
  std::string path;
  for (size_t i = 0; i < components.size(); ++i) path += (i ? "/" : "") + components[i];
  // Whatever stands at this path may change: no remembered walk may pass it.
  root_.invalidate(path);
  int parent = root_.parentOf(components, error);
  if (parent < 0) return false;
  const std::string& name = components.back();
  bool ok = false;
  switch (member.type) {
    case MemberType::Regular: ok = installRegular(member, parent, name, reader, error); break;
    case MemberType::Directory:
      ok = installDirectory(member, components, parent, name, error);
      break;
    case MemberType::Symlink: ok = installSymlink(member, parent, name, error); break;
    case MemberType::HardLink: ok = installHardLink(member, parent, name, error); break;
  }
  if (!ok) *error = joinedPath(components) + ": " + *error;
  return ok;
}

bool Extractor::publish(int parent, const std::string& temporary, const std::string& name,
                        std::string* error) {
  int rc = options_.replaceFiles
               ? renameat(parent, temporary.c_str(), parent, name.c_str())
               : renameat2(parent, temporary.c_str(), parent, name.c_str(), RENAME_NOREPLACE);
  if (rc == 0) return true;
  int saved = errno;
  (void)unlinkat(parent, temporary.c_str(), 0);  // nothing else refers to it
  errno = saved;
  if (errno == EEXIST) {
    *error = "already exists";
  } else if (errno == EISDIR || errno == ENOTEMPTY) {
    *error = "a directory stands in the way";
  } else {
    *error = systemError("cannot put in place");
  }
  return false;
}

bool Extractor::installRegular(const Member& member, int parent, const std::string& name,
                               ArchiveReader& reader, std::string* error) {
  std::string temporary = temporaryName();
  int fd = openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  if (fd < 0) {
    *error = systemError("cannot create");
    return false;
  }
  bool ok = true;
  for (;;) {
    long n = reader.readData(buffer_.get(), kCopyBlock);
    if (n < 0) {
      *error = reader.error();
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!writeAllTo(fd, buffer_.get(), static_cast<size_t>(n))) {
      *error = systemError("write error");
      ok = false;
      break;
    }
  }
  if (ok && options_.applyOwners &&
      fchown(fd, static_cast<uid_t>(member.uid), static_cast<gid_t>(member.gid)) != 0) {
    *error = systemError("cannot set owner");
    ok = false;
  }
  // After the owner: changing it clears set-id bits.
  if (ok && fchmod(fd, member.mode) != 0) {
    *error = systemError("cannot set mode");
    ok = false;
  }
  timespec times[2] = {toTimespec(member), toTimespec(member)};
  if (ok && futimens(fd, times) != 0) {
    *error = systemError("cannot set time");
    ok = false;
  }
  // A full disk may only show when the file is closed.
  if (close(fd) != 0 && ok) {
    *error = systemError("write error");
    ok = false;
  }
  if (!ok) {
    (void)unlinkat(parent, temporary.c_str(), 0);  // the unfinished copy is worthless
    return false;
  }
  return publish(parent, temporary, name, error);
}

bool Extractor::installDirectory(const Member& member, const std::vector<std::string>& components,
                                 int parent, const std::string& name, std::string* error) {
  // Made private first: its real mode applies once its contents are in.
  if (mkdirat(parent, name.c_str(), 0700) != 0) {
    if (errno != EEXIST) {
      *error = systemError("cannot create directory");
      return false;
    }
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      *error = systemError("cannot inspect");
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link to a directory inside the root stands for that directory and
      // is kept (systems link /lib and the like); its target belongs to
      // whoever made it, so the member's attributes are not applied.
      std::string walkError;
      int fd = root_.openDirectory(components, components.size(), /*create=*/false, &walkError);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      if (walkError.find("leads out of the root") != std::string::npos) {
        *error = "symbolic link in the way leads out of the root";
        return false;
      }
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!options_.replaceFiles) {
        *error = "already exists";
        return false;
      }
      if (unlinkat(parent, name.c_str(), 0) != 0 || mkdirat(parent, name.c_str(), 0700) != 0) {
        *error = systemError("cannot replace with a directory");
        return false;
      }
    }
  }
  directories_.push_back(PendingDirectory{components, member});
  return true;
}

bool Extractor::installSymlink(const Member& member, int parent, const std::string& name,
                               std::string* error) {
  // A target with a NUL byte cannot be stored as it is: the link would say
  // something else than the package does.
  if (member.linkTarget.empty() || member.linkTarget.size() > kMaxPathLength ||
      member.linkTarget.find('\0') != std::string::npos) {
    *error = "invalid symbolic link target";
    return false;
  }
  std::string temporary = temporaryName();
  if (symlinkat(member.linkTarget.c_str(), parent, temporary.c_str()) != 0) {
    *error = systemError("cannot create symbolic link");
    return false;
  }
  timespec times[2] = {toTimespec(member), toTimespec(member)};
  bool ok = true;
  if (options_.applyOwners &&
      fchownat(parent, temporary.c_str(), static_cast<uid_t>(member.uid),
               static_cast<gid_t>(member.gid), AT_SYMLINK_NOFOLLOW) != 0) {
    *error = systemError("cannot set owner");
    ok = false;
  }
  if (ok && utimensat(parent, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = systemError("cannot set time");
    ok = false;
  }
  if (!ok) {
    (void)unlinkat(parent, temporary.c_str(), 0);  // the unfinished link is worthless
    return false;
  }
  return publish(parent, temporary, name, error);
}

bool Extractor::installHardLink(const Member& member, int parent, const std::string& name,
                                std::string* error) {
  std::vector<std::string> target;
  std::string reason;
  if (!splitMemberPath(member.linkTarget, &target, &reason) || target.empty()) {
    *error = "hard link to an unsafe path (" + (target.empty() && reason.empty()
                                                     ? std::string("the root")
                                                     : reason) +
             ")";
    return false;
  }
  // The target is looked up the same guarded way as every member, so a link
  // can only join files that already lie inside the root.
  std::string walkError;
  int targetParent = root_.openDirectory(target, target.size() - 1, /*create=*/false, &walkError);
  if (targetParent < 0) {
    *error = "hard link target: " + walkError;
    return false;
  }
  struct stat st;
  bool ok = true;
  if (fstatat(targetParent, target.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = "hard link target " + joinedPath(target) + ": " + strerror(errno);
    ok = false;
  } else if (!S_ISREG(st.st_mode)) {
    *error = "hard link target " + joinedPath(target) + " is not a regular file";
    ok = false;
  }
  std::string temporary = temporaryName();
  if (ok && linkat(targetParent, target.back().c_str(), parent, temporary.c_str(), 0) != 0) {
    *error = systemError("cannot create hard link");
    ok = false;
  }
  close(targetParent);
  if (!ok || !publish(parent, temporary, name, error)) return false;
  // Renaming onto a name that is already a link to the same file does
  // nothing at all, leaving the temporary name behind.
  (void)unlinkat(parent, temporary.c_str(), 0);  // usually gone already
  return true;
}

bool Extractor::finish(std::string* error) {
  // Deepest and latest first, so that applying a parent's time comes after
  // every change inside it. A directory listed twice gets its last entry.
  std::set<std::vector<std::string>> done;
  for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) {
    const std::vector<std::string>& components = it->components;
    const Member& member = it->member;
    if (!done.insert(components).second) continue;
    int parent = root_.openDirectory(components, components.size() - 1, /*create=*/false, error);
    if (parent < 0) return false;
    const char* name = components.back().c_str();
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      // Only a directory gets a directory's attributes (chmod follows links).
      close(parent);
      *error = joinedPath(components) + ": directory vanished during installation";
      return false;
    }
    timespec times[2] = {toTimespec(member), toTimespec(member)};
    bool ok = (!options_.applyOwners ||
               fchownat(parent, name, static_cast<uid_t>(member.uid),
                        static_cast<gid_t>(member.gid), AT_SYMLINK_NOFOLLOW) == 0) &&
              fchmodat(parent, name, member.mode, 0) == 0 &&
              utimensat(parent, name, times, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok) *error = systemError(joinedPath(components) + ": cannot set attributes");
    close(parent);
    if (!ok) return false;
  }
  directories_.clear();
  return true;
}

}  // namespace libinstall
