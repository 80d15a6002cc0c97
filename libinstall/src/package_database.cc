#include "package_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace libinstall {
namespace {
constexpr mode_t kRecordMode = 0644;
}  // namespace

const std::vector<std::string>& databaseComponents() {
  static const std::vector<std::string> components{"var", "pdb"};
  return components;
}

bool prepareDatabase(RootDir& root, std::string* error) {
  int fd = root.openDirectory(databaseComponents(), databaseComponents().size(), /*create=*/true,
                              error);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string escapeRecordPath(const std::string& path) {
  std::string escaped;
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (u < 0x20 || u == 0x7f) {
      char octal[5];
      snprintf(octal, sizeof octal, "\\%03o", u);
      escaped += octal;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

PackageRecord::~PackageRecord() { abandon(); }

bool PackageRecord::begin(RootDir& root, const PackageMetadata& metadata, std::string* error) {
  abandon();
  directoryFd_ = root.openDirectory(databaseComponents(), databaseComponents().size(),
                                    /*create=*/false, error);
  if (directoryFd_ < 0) return false;
  name_ = metadata.name;
  temporary_ = "." + metadata.name + ".partial";
  // A leftover at the temporary name may be a hard link to any file (opening
  // it would truncate that file) or a symbolic link: its name goes, and the
  // record is a file made here and now.
  (void)unlinkat(directoryFd_, temporary_.c_str(), 0);  // usually there is none
  int fd = openat(directoryFd_, temporary_.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kRecordMode);
  if (fd < 0 || (file_ = fdopen(fd, "w")) == nullptr) {
    *error = "/var/pdb: " + std::string(strerror(errno));
    if (fd >= 0) close(fd);
    abandon();
    return false;
  }
  // The header repeats the metadata; "files:" opens the list.
  fputs(formatMetadata(metadata).c_str(), file_);
  fputs("files:\n", file_);
  return true;
}

bool PackageRecord::add(const std::string& path, bool directory) {
  if (file_ == nullptr) return false;
  std::string line = escapeRecordPath(path);
  if (directory && line != "/") line += "/";
  line += "\n";
  return fputs(line.c_str(), file_) >= 0;
}

bool PackageRecord::commit(std::string* error) {
  if (file_ == nullptr) {
    *error = "no record started";
    return false;
  }
  // The mode goes through the open file (the creation mode met the umask):
  // a mode change by name would follow whatever stands at the name now.
  bool ok = fflush(file_) == 0 && !ferror(file_) && fchmod(fileno(file_), kRecordMode) == 0;
  ok = (fclose(file_) == 0) && ok;
  file_ = nullptr;
  if (ok) ok = renameat(directoryFd_, temporary_.c_str(), directoryFd_, name_.c_str()) == 0;
  if (!ok) {
    *error = "/var/pdb/" + name_ + ": " + strerror(errno);
    abandon();
    return false;
  }
  close(directoryFd_);
  directoryFd_ = -1;
  return true;
}

void PackageRecord::abandon() {
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
  if (directoryFd_ >= 0) {
    (void)unlinkat(directoryFd_, temporary_.c_str(), 0);  // may never have been made
    close(directoryFd_);
    directoryFd_ = -1;
  }
}

}  // namespace libinstall
