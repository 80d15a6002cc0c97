#include "sign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <vector>

#include "file_io.h"
#include "inspect.h"
#include "libinstall/package_key.h"
#include "package_input.h"
#include "package_signing.h"
#include "signing_keys.h"

namespace bdl {
namespace {

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

bool fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool writeNewFile(const std::string& path, const std::string& text, mode_t mode,
                  std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return fail(error, systemError(path));
  bool ok = fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) ==
                                         static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    *error = systemError(path);
    (void)unlink(path.c_str());  // a cut key file is worse than none
  }
  return ok;
}

// Writes `member` and then the bytes of `path` from `offset` on into `fd`.
bool writeSignedCopy(int fd, const std::string& member, const std::string& path,
                     unsigned long long offset, std::string* error) {
  if (!libinstall::writeAllTo(fd, member.data(), member.size())) return fail(error, systemError("write"));
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<char> block(128 * 1024);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (in.gcount() > 0 && !libinstall::writeAllTo(fd, block.data(), static_cast<size_t>(in.gcount()))) {
      *error = systemError("write");
      return false;
    }
  }
  if (in.bad()) return fail(error, path + ": read error");
  if (fsync(fd) != 0) return fail(error, systemError("fsync"));
  return true;
}

}  // namespace

bool generateKeys(const std::string& keyFile, std::ostream& out, std::string* error) {
  libinstall::SecretKey key;
  if (!key.generate()) {
    *error = "no random source for a new key";
    return false;
  }
  const std::string publicFile = keyFile + ".pub";
  if (!writeNewFile(keyFile, key.text(), 0600, error)) return false;
  if (!writeNewFile(publicFile, key.publicKey().text(), 0644, error)) {
    (void)unlink(keyFile.c_str());  // half a key pair is of no use
    return false;
  }
  out << "key " << key.publicKey().id() << ": secret key " << keyFile << ", public key "
      << publicFile << "\n";
  return true;
}

bool signPackage(const std::string& keyFile, const std::string& path, std::string* error) {
  std::string keyText;
  libinstall::SecretKey key;
  if (!libinstall::readSmallFile(keyFile, libinstall::kMaxKeyFileSize, &keyText)) {
    return fail(error, keyFile + ": " + (errno == EFBIG ? "not a key file (too large)" : strerror(errno)));
  }
  if (!key.parse(keyText, error)) {
    *error = keyFile + ": " + *error;
    return false;
  }
  // Only a sound package gets signed; an old signature must hold as well.
  std::ostringstream summary;
  if (!verifyPackage(path, /*key=*/nullptr, summary, error)) return fail(error, path + ": " + *error);

  std::ifstream in(path, std::ios::binary);
  libinstall::PackageInput input(in);
  struct stat st;
  if (!in || stat(path.c_str(), &st) != 0) return fail(error, systemError(path));
  if (!input.open(nullptr, /*checkChunks=*/false, error)) return fail(error, path + ": " + *error);
  unsigned long long offset = input.properOffset();
  uint64_t length = static_cast<uint64_t>(st.st_size) - offset;
  libinstall::SignatureHead head;
  head.signer = key.publicKey();
  head.chunkSize = libinstall::chooseChunkSize(length);
  if (head.chunkSize == 0) return fail(error, path + ": package too large to sign");

  std::ifstream proper(path, std::ios::binary);
  proper.seekg(static_cast<std::streamoff>(offset));
  libinstall::IstreamSource source(proper);
  std::vector<libinstall::Digest> chunks;
  if (!libinstall::hashChunks(source, head.chunkSize, &head.length, &chunks, error)) {
    return fail(error, path + ": " + *error);
  }
  if (head.length != length) return fail(error, path + ": changed while it was signed");
  std::string member;
  if (!libinstall::signatureMember(libinstall::signatureText(head, chunks, key), &member, error)) {
    return false;
  }

  std::string temporary = path + ".sign-XXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) return fail(error, systemError(temporary));
  // The signed copy takes the package's place only when it is complete.
  bool ok = fchmod(fd, st.st_mode & 07777) == 0 ? writeSignedCopy(fd, member, path, offset, error)
                                                : fail(error, systemError(temporary));
  if (close(fd) != 0 && ok) ok = fail(error, systemError(temporary));
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = fail(error, systemError(path));
  if (!ok) (void)unlink(temporary.c_str());
  return ok;
}

}  // namespace bdl
