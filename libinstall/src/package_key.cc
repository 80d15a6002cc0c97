#include "libinstall/package_key.h"

#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "hex_text.h"
#include "signing_keys.h"

namespace libinstall {

bool readKeyLines(const std::string& text, const char* const names[], size_t count,
                  std::string values[]) {
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    // A text that ends before its last line (no final newline, or fewer
    // lines than names) is no key file.
    if (pos >= text.size()) return false;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    std::string prefix = std::string(names[i]) + ": ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    values[i] = line.substr(prefix.size());
    pos = end + 1;
  }
  return pos >= text.size();
}

}  // namespace libinstall

bool PackageKey::parse(const std::string& text, std::string* error) {
  static const char* const kNames[] = {"format", "key"};
  std::string values[2];
  std::array<unsigned char, kSize> key;
  if (!libinstall::readKeyLines(text, kNames, 2, values) || values[0] != libinstall::kPublicKeyFormat ||
      !libinstall::fromHex(values[1], key.data(), key.size())) {
    *error = "not a public key file (bdl keygen writes them)";
    return false;
  }
  bytes = key;
  return true;
}

bool PackageKey::load(const std::string& path, std::string* error) {
  std::string text;
  if (!libinstall::readSmallFile(path, libinstall::kMaxKeyFileSize, &text)) {
    int readError = errno;
    *error = path + ": " + (readError == EFBIG ? "not a key file (too large)" : strerror(readError));
    errno = readError;
    return false;
  }
  if (!parse(text, error)) {
    *error = path + ": " + *error;
    errno = 0;
    return false;
  }
  return true;
}

std::string PackageKey::text() const {
  return std::string("format: ") + libinstall::kPublicKeyFormat +
         "\nkey: " + libinstall::toHex(bytes.data(), bytes.size()) + "\n";
}

std::string PackageKey::id() const { return libinstall::toHex(bytes.data(), 8); }
