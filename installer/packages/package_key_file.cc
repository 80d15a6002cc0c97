#include "packages/package_key_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/retry_io.h"

namespace {
// A key file is two short lines.
constexpr size_t kMaxKeyFile = 4096;

PackageTrust trust = PackageTrust::NotLoaded;
PackageKey key;
std::string problem;

PackageTrust refuseAll(const char* path, const std::string& why) {
  problem = std::string(path) + ": " + why;
  return trust = PackageTrust::BrokenKey;
}
}  // namespace

PackageTrust loadPackageKey(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return trust = PackageTrust::Unverified;
  if (fd < 0) return refuseAll(path, strerror(errno));
  char text[kMaxKeyFile + 1];
  size_t size = 0;
  ssize_t n = 0;
  while (size < sizeof text && (n = readRetrying(fd, text + size, sizeof text - size)) > 0) {
    size += static_cast<size_t>(n);
  }
  int readError = n < 0 ? errno : 0;
  close(fd);
  if (readError != 0) return refuseAll(path, strerror(readError));
  std::string why;
  if (size > kMaxKeyFile || !key.parse(std::string(text, size), &why)) {
    return refuseAll(path, size > kMaxKeyFile ? "not a public key file (too large)" : why);
  }
  return trust = PackageTrust::Verified;
}

PackageTrust packageTrust() { return trust; }
const PackageKey& packageKey() { return key; }
const char* packageKeyProblem() { return problem.c_str(); }
