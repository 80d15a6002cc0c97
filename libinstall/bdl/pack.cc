#include "pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "archive_writer.h"
#include "gzip_stream.h"

namespace bdl {
namespace {

using libinstall::ArchiveWriter;
using libinstall::Member;
using libinstall::MemberType;

constexpr size_t kCopyBlock = 128 * 1024;

struct FileId {
  dev_t device;
  ino_t inode;
  bool operator<(const FileId& other) const {
    return std::tie(device, inode) < std::tie(other.device, other.inode);
  }
};

class TreePacker {
 public:
  TreePacker(ArchiveWriter& writer, FileId output, const PackOverrides& overrides)
      : writer_(writer), output_(output), overrides_(overrides) {}

  bool packDirectory(int dirFd, const std::string& prefix, std::string* error);

 private:
  bool packEntry(int dirFd, const std::string& name, const std::string& path, std::string* error);
  bool packFileData(int dirFd, const std::string& name, const Member& member, std::string* error);

  ArchiveWriter& writer_;
  FileId output_;
  PackOverrides overrides_;
  std::map<FileId, std::string> firstPathOf_;  // files with more than one link
  std::unique_ptr<char[]> buffer_{new char[kCopyBlock]};
};

std::string systemError(const std::string& path) { return path + ": " + strerror(errno); }

bool listNames(int dirFd, std::vector<std::string>* names, std::string* error,
               const std::string& path) {
  int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    *error = systemError(path);
    return false;
  }
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names->push_back(entry->d_name);
    }
  }
  bool ok = errno == 0;
  if (!ok) *error = systemError(path);
  closedir(dir);
  std::sort(names->begin(), names->end());
  return ok;
}

bool TreePacker::packDirectory(int dirFd, const std::string& prefix, std::string* error) {
  std::vector<std::string> names;
  if (!listNames(dirFd, &names, error, prefix.empty() ? "." : prefix)) return false;
  for (const std::string& name : names) {
    if (!packEntry(dirFd, name, prefix + name, error)) return false;
  }
  return true;
}

bool TreePacker::packFileData(int dirFd, const std::string& name, const Member& member,
                              std::string* error) {
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = systemError(member.path);
    return false;
  }
  bool ok = writer_.beginMember(member);
  uint64_t left = member.size;
  while (ok && left > 0) {
    ssize_t n = read(fd, buffer_.get(), static_cast<size_t>(std::min<uint64_t>(left, kCopyBlock)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? systemError(member.path) : member.path + ": file shrank while packing";
      close(fd);
      return false;
    }
    ok = writer_.writeData(buffer_.get(), static_cast<size_t>(n));
    left -= static_cast<uint64_t>(n);
  }
  close(fd);
  if (!ok || !writer_.endMember()) {
    *error = member.path + ": " + writer_.error();
    return false;
  }
  return true;
}

bool TreePacker::packEntry(int dirFd, const std::string& name, const std::string& path,
                           std::string* error) {
  struct stat st;
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = systemError(path);
    return false;
  }
  FileId id{st.st_dev, st.st_ino};
  if (!(id < output_) && !(output_ < id)) return true;  // the package being written

  Member member;
  member.path = path;
  member.mode = st.st_mode & 07777;
  member.uid = st.st_uid;
  member.gid = st.st_gid;
  member.mtimeSeconds = st.st_mtim.tv_sec;
  member.mtimeNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  if (overrides_.setOwner) {
    member.uid = overrides_.uid;
    member.gid = overrides_.gid;
  }
  if (overrides_.setTime) {
    member.mtimeSeconds = overrides_.seconds;
    member.mtimeNanoseconds = 0;
  }

  if (S_ISDIR(st.st_mode)) {
    member.type = MemberType::Directory;
    if (!writer_.beginMember(member) || !writer_.endMember()) {
      *error = path + ": " + writer_.error();
      return false;
    }
    int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      *error = systemError(path);
      return false;
    }
    bool ok = packDirectory(fd, path + "/", error);
    close(fd);
    return ok;
  }
  if (S_ISLNK(st.st_mode)) {
    char target[4096];
    ssize_t n = readlinkat(dirFd, name.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
      *error = n < 0 ? systemError(path) : path + ": symbolic link target too long or empty";
      return false;
    }
    member.type = MemberType::Symlink;
    member.linkTarget.assign(target, static_cast<size_t>(n));
  } else if (S_ISREG(st.st_mode)) {
    if (st.st_nlink > 1) {
      auto first = firstPathOf_.find(id);
      if (first != firstPathOf_.end()) {
        member.type = MemberType::HardLink;
        member.linkTarget = first->second;
      } else {
        firstPathOf_.emplace(id, path);
      }
    }
    if (member.type == MemberType::Regular) {
      member.size = static_cast<uint64_t>(st.st_size);
      return packFileData(dirFd, name, member, error);
    }
  } else {
    *error = path + ": devices, fifos and sockets cannot be packed";
    return false;
  }
  if (!writer_.beginMember(member) || !writer_.endMember()) {
    *error = path + ": " + writer_.error();
    return false;
  }
  return true;
}

// Output that goes through the compressor into the package file.
class GzipSink : public libinstall::ByteSink {
 public:
  explicit GzipSink(libinstall::GzipWriter& gzip) : gzip_(gzip) {}
  bool write(const char* data, size_t size) override { return gzip_.write(data, size); }
  const std::string& error() const override { return gzip_.error(); }

 private:
  libinstall::GzipWriter& gzip_;
};

bool writePackage(const std::string& directory, std::ofstream& out, FileId outputId,
                  const libinstall::PackageMetadata& metadata, const PackOverrides& overrides,
                  std::string* error) {
  libinstall::GzipWriter gzip(out);
  GzipSink sink(gzip);
  ArchiveWriter writer(sink);

  std::string info = libinstall::formatMetadata(metadata);
  Member infoMember;
  infoMember.path = libinstall::kMetadataMember;
  infoMember.mode = 0644;
  infoMember.size = info.size();
  if (!writer.beginMember(infoMember) || !writer.writeData(info.data(), info.size()) ||
      !writer.endMember()) {
    *error = writer.error();
    return false;
  }

  int root = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    *error = systemError(directory);
    return false;
  }
  TreePacker packer(writer, outputId, overrides);
  bool ok = packer.packDirectory(root, "", error);
  close(root);
  if (!ok) return false;
  if (!writer.finish() || !gzip.finish()) {
    *error = "writing the package: " + gzip.error();
    return false;
  }
  return true;
}

}  // namespace

bool packTree(const std::string& directory, const std::string& outputPath,
              const libinstall::PackageMetadata& metadata, std::string* error,
              const PackOverrides& overrides) {
  if (!libinstall::validateMetadata(metadata, error)) return false;
  std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
  struct stat st;
  if (!out || stat(outputPath.c_str(), &st) != 0) {
    *error = systemError(outputPath);
    return false;
  }
  bool ok =
      writePackage(directory, out, FileId{st.st_dev, st.st_ino}, metadata, overrides, error);
  out.close();
  if (ok && !out) {
    *error = outputPath + ": write error";
    ok = false;
  }
  if (!ok) (void)unlink(outputPath.c_str());  // a broken package must not look like one
  return ok;
}

}  // namespace bdl
