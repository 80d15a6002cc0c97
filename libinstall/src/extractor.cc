#include "extractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "member_path.h"
#include "message_text.h"
#include "package_limits.h"

namespace libinstall {
namespace {

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

timespec toTimespec(const Member& member) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(member.mtimeSeconds);
  t.tv_nsec = static_cast<long>(member.mtimeNanoseconds);
  return t;
}

// The process's file creation mask, read once (reading it means setting it).
mode_t currentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

Extractor::Extractor(RootDir& root, ExtractOptions options)
    : root_(root),
      options_(options),
      buffer_(new char[kCopyBlock]),
      umask_(currentUmask()),
      pid_(std::to_string(getpid())) {}

Extractor::~Extractor() = default;

std::string Extractor::temporaryName() {
  return ".bdl-" + pid_ + "-" + std::to_string(++temporaryCounter_);
}

bool Extractor::install(const Member& member, const std::vector<std::string>& components,
                        ArchiveReader& reader, std::string* error) {
  int parent = root_.parentOf(components, error);
  if (parent < 0) return false;
  const std::string& name = components.back();
  switch (member.type) {
    case MemberType::Regular: return installRegular(member, parent, name, reader, error);
    case MemberType::Directory: return installDirectory(member, components, parent, name, error);
    case MemberType::Symlink: return installSymlink(member, parent, name, error);
    case MemberType::HardLink: return installHardLink(member, parent, name, error);
  }
  *error = "unknown member type";
  return false;
}

bool Extractor::publish(int parent, const std::string& temporary, const std::string& name,
                        std::string* error) {
  // Most names are new: only an entry that is really replaced needs a look
  // (it may be a link that remembered ways took). File systems without
  // RENAME_NOREPLACE say EINVAL, emulators without renameat2 ENOSYS.
  int rc = renameat2(parent, temporary.c_str(), parent, name.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && options_.replaceFiles &&
      (errno == EEXIST || errno == EINVAL || errno == ENOSYS)) {
    root_.entryChanging(parent, name);
    rc = renameat(parent, temporary.c_str(), parent, name.c_str());
  }
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
  // A file without set-id or sticky bits, whose permissions the umask
  // leaves whole, gets its mode as it is made (a change of owner keeps it):
  // one system call less per file. Any other is made private and gets its
  // mode after its owner, which clears set-id bits.
  const mode_t permissions = static_cast<mode_t>(member.mode) & 0777;
  const bool modeAtCreation =
      (member.mode & 07000) == 0 && (permissions & umask_) == 0;
  std::string temporary = temporaryName();
  int fd = openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  modeAtCreation ? permissions : 0600);
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
  if (ok && !modeAtCreation && fchmod(fd, member.mode) != 0) {
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
      if (walkError == kLeadsOutOfTheRoot) {
        *error = "symbolic link in the way leads out of the root";
        return false;
      }
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!options_.replaceFiles) {
        *error = "already exists";
        return false;
      }
      root_.entryChanging(parent, name);
      if (unlinkat(parent, name.c_str(), 0) != 0 || mkdirat(parent, name.c_str(), 0700) != 0) {
        *error = systemError("cannot replace with a directory");
        return false;
      }
    }
  }
  std::string path;
  for (size_t i = 0; i < components.size(); ++i) path += (i ? "/" : "") + components[i];
  return directories_.remember(path, member, error);
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
  const std::string shown = "hard link target " + quotedName(member.linkTarget);
  if (!splitMemberPath(member.linkTarget, &target, &reason) || target.empty()) {
    *error = shown + ": " + (target.empty() && reason.empty() ? std::string("the root") : reason);
    return false;
  }
  // The target is looked up the same guarded way as every member, so a link
  // can only join files that already lie inside the root.
  std::string walkError;
  int targetParent = root_.openDirectory(target, target.size() - 1, /*create=*/false, &walkError);
  if (targetParent < 0) {
    *error = shown + ": " + walkError;
    return false;
  }
  struct stat st;
  bool ok = true;
  if (fstatat(targetParent, target.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = shown + ": " + strerror(errno);
    ok = false;
  } else if (!S_ISREG(st.st_mode)) {
    *error = shown + " is not a regular file";
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
  for (const PendingDirectories::Entry& entry : directories_.deepestFirst()) {
    std::vector<std::string> components;
    std::string reason;
    // Remembered paths were split once already: this cannot fail.
    (void)splitMemberPath(*entry.path, &components, &reason);
    const DirectoryAttributes& attributes = *entry.attributes;
    std::string walkError;
    int parent = root_.openDirectory(components, components.size() - 1, /*create=*/false,
                                     &walkError);
    if (parent < 0) {
      *error = "directory " + quotedName(*entry.path) + ": " + walkError;
      return false;
    }
    const char* name = components.back().c_str();
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      // Only a directory gets a directory's attributes (chmod follows links).
      close(parent);
      *error = "directory " + quotedName(*entry.path) + " vanished during installation";
      return false;
    }
    timespec t{};
    t.tv_sec = static_cast<time_t>(attributes.mtimeSeconds);
    t.tv_nsec = static_cast<long>(attributes.mtimeNanoseconds);
    timespec times[2] = {t, t};
    bool ok = (!options_.applyOwners ||
               fchownat(parent, name, static_cast<uid_t>(attributes.uid),
                        static_cast<gid_t>(attributes.gid), AT_SYMLINK_NOFOLLOW) == 0) &&
              fchmodat(parent, name, attributes.mode, 0) == 0 &&
              utimensat(parent, name, times, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok) *error = systemError("directory " + quotedName(*entry.path) + ": cannot set attributes");
    close(parent);
    if (!ok) return false;
  }
  directories_.clear();
  return true;
}

}  // namespace libinstall
