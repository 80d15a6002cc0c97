#include "libinstall/release_list.h"

#include <sodium.h>

#include <ctime>

#include "hex_text.h"
#include "release_text.h"
#include "sha256.h"
#include "text_fields.h"

namespace {

using libinstall::fromHex;
using libinstall::parseCanonicalDecimal;
using libinstall::toHex;
using libinstall::valueAfter;

// A time as seconds since 1970: within what a signed 64-bit time holds.
bool parseTime(const std::string& text, int64_t* value) {
  uint64_t number = 0;
  if (!parseCanonicalDecimal(text, &number) || number > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  *value = static_cast<int64_t>(number);
  return true;
}

bool isAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isProduct(const std::string& text) {
  if (text.empty() || text.size() > kMaxReleaseProduct) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return true;
}

bool parseKind(const std::string& text, ReleaseFileKind* kind) {
  for (ReleaseFileKind candidate : {ReleaseFileKind::package, ReleaseFileKind::driver,
                                    ReleaseFileKind::script, ReleaseFileKind::file}) {
    if (text == releaseFileKindName(candidate)) {
      *kind = candidate;
      return true;
    }
  }
  return false;
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "KIND SIZE SHA256 NAME [MACHINE]", each separated by one space.
bool parseFileLine(const std::string& value, ReleaseFile* file) {
  size_t first = value.find(' ');
  size_t second = first == std::string::npos ? first : value.find(' ', first + 1);
  size_t third = second == std::string::npos ? second : value.find(' ', second + 1);
  if (third == std::string::npos) return false;
  size_t fourth = value.find(' ', third + 1);
  file->name = value.substr(third + 1, fourth == std::string::npos ? fourth : fourth - third - 1);
  file->machine = fourth == std::string::npos ? "" : value.substr(fourth + 1);
  return parseKind(value.substr(0, first), &file->kind) &&
         parseCanonicalDecimal(value.substr(first + 1, second - first - 1), &file->size) &&
         fromHex(value.substr(second + 1, third - second - 1), file->sha256.data(),
                 file->sha256.size()) &&
         isReleaseFileName(file->name) &&
         (fourth == std::string::npos || isReleaseMachine(file->machine));
}

std::string digestText(const std::array<unsigned char, 32>& digest) {
  return toHex(digest.data(), 8);
}

}  // namespace

std::string releaseTimeText(int64_t seconds, bool withClock) {
  time_t time = static_cast<time_t>(seconds);
  tm parts;
  char text[32];
  if (gmtime_r(&time, &parts) == nullptr ||
      strftime(text, sizeof text, withClock ? "%Y-%m-%d %H:%M UTC" : "%Y-%m-%d", &parts) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

const char* releaseFileKindName(ReleaseFileKind kind) {
  switch (kind) {
    case ReleaseFileKind::package:
      return "package";
    case ReleaseFileKind::driver:
      return "driver";
    case ReleaseFileKind::script:
      return "script";
    case ReleaseFileKind::file:
      return "file";
  }
  return "file";
}

bool isReleaseFileName(const std::string& name) {
  if (name.empty() || name.size() > kMaxReleaseFileName) return false;
  if (!isAsciiAlnum(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name) {
    if (!isAsciiAlnum(c) && c != '.' && c != '_' && c != '+' && c != '-' && c != '~') return false;
  }
  return true;
}

bool isReleaseMachine(const std::string& text) {
  if (text.size() != kReleaseMachineSize) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2 ? text[i] != ':' : !isLowerHex(text[i])) return false;
  }
  return true;
}

bool ReleaseNames::add(const ReleaseFile& file, std::string* error) {
  if (added_.emplace(file.name, file.machine).second) return true;
  *error = "\"" + file.name + "\" listed twice" +
           (file.machine.empty() ? "" : " for " + file.machine);
  return false;
}

bool ReleaseList::parse(const std::string& text, const PackageKey* requiredKey,
                        std::string* error) {
  *this = ReleaseList();
  auto refuse = [&](size_t line, const std::string& why) {
    *error = "release list line " + std::to_string(line) + ": " + why;
    *this = ReleaseList();
    return false;
  };
  if (text.size() > kMaxReleaseListSize) {
    *error = "release list larger than " + std::to_string(kMaxReleaseListSize) + " bytes";
    return false;
  }
  ReleaseList list;
  ReleaseNames names;
  std::array<unsigned char, crypto_sign_BYTES> signature{};
  size_t signedLength = 0;
  bool signatureSeen = false;
  size_t pos = 0;
  size_t number = 0;
  while (pos < text.size()) {
    ++number;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) return refuse(number, "no newline at the end");
    if (end - pos > kMaxReleaseLine) return refuse(number, "line too long");
    if (signatureSeen) return refuse(number, "text after the signature");
    std::string line = text.substr(pos, end - pos);
    std::string value;
    bool ok = true;
    switch (number) {
      case 1:
        ok = line == libinstall::kReleaseFormatLine;
        if (!ok) return refuse(number, "not a release list (no \"format: bdl-release 1\")");
        break;
      case 2:
        ok = valueAfter(line, "key", &value) &&
             fromHex(value, list.signer.bytes.data(), list.signer.bytes.size());
        break;
      case 3:
        ok = valueAfter(line, "product", &value) && isProduct(value);
        list.product = value;
        break;
      case 4:
        ok = valueAfter(line, "release", &value) && parseCanonicalDecimal(value, &list.number);
        if (!ok) return refuse(number, "bad release number");
        break;
      case 5:
        ok = valueAfter(line, "created", &value) && parseTime(value, &list.created);
        break;
      case 6:
        ok = valueAfter(line, "expires", &value) && parseTime(value, &list.expires) &&
             list.expires >= list.created;
        break;
      default:
        if (valueAfter(line, "signature", &value)) {
          ok = fromHex(value, signature.data(), signature.size());
          signedLength = pos;
          signatureSeen = true;
        } else {
          ReleaseFile file;
          ok = valueAfter(line, "file", &value) && parseFileLine(value, &file);
          if (!ok) return refuse(number, "bad file entry");
          if (list.files.size() == kMaxReleaseFiles) {
            return refuse(number, "more than " + std::to_string(kMaxReleaseFiles) + " files");
          }
          std::string why;
          if (!names.add(file, &why)) return refuse(number, why);
          list.files.push_back(std::move(file));
        }
    }
    if (!ok) return refuse(number, "bad line \"" + line.substr(0, 40) + "\"");
    pos = end + 1;
  }
  if (!signatureSeen) return refuse(number + 1, "no signature (cut short?)");
  if (requiredKey != nullptr && list.signer != *requiredKey) {
    *error = "release list signed with key " + list.signer.id() + ", not with the required key " +
             requiredKey->id();
    return false;
  }
  if (crypto_sign_verify_detached(signature.data(),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  signedLength, list.signer.bytes.data()) != 0) {
    *error = "release list signature does not match (damaged or altered list)";
    return false;
  }
  *this = std::move(list);
  return true;
}

const ReleaseFile* ReleaseList::find(const std::string& name, const std::string& machine) const {
  // The parser let no (name, machine) in twice: one own entry at most, one
  // common entry at most.
  const ReleaseFile* common = nullptr;
  for (const ReleaseFile& file : files) {
    if (file.name != name) continue;
    if (!machine.empty() && file.machine == machine) return &file;
    if (file.machine.empty()) common = &file;
  }
  return common;
}

bool ReleaseList::takes(const ReleaseFile& file, const std::string& machine) const {
  return find(file.name, machine) == &file;
}

bool ReleaseList::check(const std::string& name, const char* data, size_t size,
                        std::string* error, const std::string& machine) const {
  const ReleaseFile* entry = find(name, machine);
  if (entry == nullptr) {
    *error = name + " is not in release " + std::to_string(number);
    return false;
  }
  ReleaseFileCheck check(*entry);
  if (!check.update(data, size)) {
    *error = name + ": " + std::to_string(size) + " bytes, release " + std::to_string(number) +
             " lists " + std::to_string(entry->size);
    return false;
  }
  if (!check.finish(error)) {
    *error = name + ": " + *error + " (release " + std::to_string(number) + ")";
    return false;
  }
  return true;
}

ReleaseFileCheck::ReleaseFileCheck(const ReleaseFile& entry)
    : entry_(entry), digest_(new libinstall::Sha256Stream) {}

ReleaseFileCheck::~ReleaseFileCheck() = default;

bool ReleaseFileCheck::update(const char* data, size_t size) {
  if (size > entry_.size - received_) {
    received_ += size;
    return false;
  }
  received_ += size;
  digest_->update(data, size);
  return true;
}

bool ReleaseFileCheck::finish(std::string* error) {
  if (received_ != entry_.size) {
    *error = std::to_string(received_) + " bytes where the list says " +
             std::to_string(entry_.size);
    return false;
  }
  libinstall::Digest digest = digest_->finish();
  if (digest != entry_.sha256) {
    *error = "SHA-256 " + digestText(digest) + "... where the list says " +
             digestText(entry_.sha256) + "...";
    return false;
  }
  return true;
}
