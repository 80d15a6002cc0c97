#include "release.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <ostream>
#include <vector>

#include "file_io.h"
#include "libinstall/release_list.h"
#include "release_text.h"
#include "sha256.h"
#include "signing_keys.h"

namespace bdl {
namespace {

bool fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The size and SHA-256 of the file at `path` as it is now.
bool describeFile(const std::string& path, ReleaseFile* file, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(error, path + ": " + strerror(errno));
  libinstall::Sha256Stream digest;
  uint64_t size = 0;
  std::vector<char> block(256 * 1024);
  ssize_t n;
  while ((n = read(fd, block.data(), block.size())) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int readError = errno;
      close(fd);
      return fail(error, path + ": " + strerror(readError));
    }
    digest.update(block.data(), static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  close(fd);
  file->size = size;
  file->sha256 = digest.finish();
  return true;
}

bool loadSecretKey(const std::string& keyFile, libinstall::SecretKey* key, std::string* error) {
  std::string text;
  if (!libinstall::readSmallFile(keyFile, libinstall::kMaxKeyFileSize, &text)) {
    return fail(error, keyFile + ": " + (errno == EFBIG ? "not a key file (too large)" : strerror(errno)));
  }
  if (!key->parse(text, error)) return fail(error, keyFile + ": " + *error);
  return true;
}


}  // namespace

bool releaseMachineFrom(const std::string& text, std::string* machine) {
  std::string spelled;
  for (char c : text) {
    spelled += c == '-' ? ':' : (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (!isReleaseMachine(spelled)) return false;
  *machine = spelled;
  return true;
}

bool makeReleaseList(const ReleaseRequest& request, std::ostream& out, std::string* error) {
  libinstall::SecretKey key;
  if (!loadSecretKey(request.keyFile, &key, error)) return false;
  ReleaseList list;
  list.product = request.product;
  list.number = request.number;
  list.created = request.created >= 0 ? request.created : static_cast<int64_t>(time(nullptr));
  list.expires = list.created + static_cast<int64_t>(request.expiresDays) * 24 * 60 * 60;
  ReleaseNames names;
  auto add = [&](const std::string& path, bool driver, const std::string& machine) {
    ReleaseFile file;
    file.name = baseName(path);
    file.machine = machine;
    if (!isReleaseFileName(file.name)) {
      return fail(error, path + ": a release list cannot name \"" + file.name +
                             "\" (1 to 64 of A-Z a-z 0-9 . _ + - ~, a letter or digit first)");
    }
    std::string why;
    if (!names.add(file, &why)) return fail(error, path + ": " + why);
    file.kind = driver                          ? ReleaseFileKind::driver
                : endsWith(file.name, ".bdl") ? ReleaseFileKind::package
                : endsWith(file.name, ".scr") ? ReleaseFileKind::script
                                                : ReleaseFileKind::file;
    if (!describeFile(path, &file, error)) return false;
    list.files.push_back(std::move(file));
    return true;
  };
  for (const std::string& path : request.files) {
    if (!add(path, /*driver=*/false, "")) return false;
  }
  for (const std::string& path : request.drivers) {
    if (!add(path, /*driver=*/true, "")) return false;
  }
  for (const auto& [machine, path] : request.machineFiles) {
    if (!add(path, /*driver=*/false, machine)) return false;
  }
  if (list.files.size() > kMaxReleaseFiles) {
    return fail(error, "more than " + std::to_string(kMaxReleaseFiles) + " files");
  }
  std::string text = libinstall::releaseListText(list, key);

  std::string temporary = request.output + ".release-XXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) return fail(error, temporary + ": " + strerror(errno));
  bool ok = fchmod(fd, 0644) == 0 && libinstall::writeAllTo(fd, text.data(), text.size()) &&
            fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), request.output.c_str()) != 0) ok = false;
  if (!ok) {
    *error = request.output + ": " + strerror(errno);
    (void)unlink(temporary.c_str());  // half a list is refused by every reader anyway
    return false;
  }
  out << "release " << list.number << " of " << list.product << ": " << list.files.size()
      << " files, signed with key " << key.publicKey().id() << ", expires "
      << releaseTimeText(list.expires, true) << "\n";
  return true;
}

bool verifyAgainstRelease(const std::string& keyFile, const std::string& listFile,
                          const std::vector<std::string>& files,
                          const std::vector<std::pair<std::string, std::string>>& machineFiles,
                          std::ostream& out, std::string* error) {
  PackageKey key;
  if (!key.load(keyFile, error)) return false;
  std::string text;
  if (!libinstall::readSmallFile(listFile, kMaxReleaseListSize, &text)) {
    return fail(error, listFile + ": " + (errno == EFBIG ? "larger than a release list may be" : strerror(errno)));
  }
  ReleaseList list;
  if (!list.parse(text, &key, error)) return fail(error, listFile + ": " + *error);
  out << listFile << ": release " << list.number << " of " << list.product << ", "
      << list.files.size() << " files, signed with key " << list.signer.id() << ", created "
      << releaseTimeText(list.created, true) << ", expires "
      << releaseTimeText(list.expires, true) << "\n";
  if (list.expires < static_cast<int64_t>(time(nullptr))) out << listFile << ": expired\n";
  std::vector<std::pair<std::string, std::string>> all;
  for (const std::string& path : files) all.emplace_back("", path);
  all.insert(all.end(), machineFiles.begin(), machineFiles.end());
  for (const auto& [machine, path] : all) {
    const ReleaseFile* entry = list.find(baseName(path), machine);
    if (entry == nullptr) {
      return fail(error, path + ": not in release " + std::to_string(list.number) +
                             (machine.empty() ? "" : " for " + machine));
    }
    ReleaseFile actual;
    if (!describeFile(path, &actual, error)) return false;
    if (actual.size != entry->size || actual.sha256 != entry->sha256) {
      return fail(error, path + ": differs from release " + std::to_string(list.number) + " (" +
                             std::to_string(actual.size) + " bytes, the list says " +
                             std::to_string(entry->size) + ")");
    }
    out << path << ": " << releaseFileKindName(entry->kind) << " of release " << list.number
        << "\n";
  }
  return true;
}

}  // namespace bdl
