#include "packages/installation_release.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "netinstall/net_message.h"
#include "packages/package_key_file.h"
#include "packages/release_policy.h"

namespace {

bool adopted = false;
std::string adoptedText;
ReleaseList list;
std::string machine;  // whose entries the files are looked up in
std::set<std::string> arrived;

bool fatal(const std::string& message) {
  printf("\nFATAL ERROR: %s\n", message.c_str());
  return false;
}

// A file name as the console may show it: a server or medium names files,
// and its bytes must never reach the terminal as control sequences.
std::string shownName(const char* name) {
  std::string shown;
  for (; *name != '\0' && shown.size() < kMaxReleaseLine; ++name) {
    unsigned char c = static_cast<unsigned char>(*name);
    shown += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return shown;
}

std::string releaseName(uint64_t number) { return "release " + std::to_string(number); }

// The medium's lowest accepted release: 0 without the file. False when a
// file is there but says nothing usable: whoever put it there meant a floor.
bool readLowestRelease(uint64_t* lowest) {
  *lowest = 0;
  FILE* file = fopen(kLowestReleasePath, "re");
  if (file == nullptr) return true;
  char text[64];
  size_t size = fread(text, 1, sizeof text, file);
  fclose(file);
  return parseReleaseNumberText(std::string(text, size), "lowest-release", lowest);
}

}  // namespace

bool releaseListRequired() {
  return packageTrust() == PackageTrust::Verified || packageTrust() == PackageTrust::BrokenKey;
}

bool adoptReleaseList(const std::string& text, const std::string& forMachine) {
  if (adopted) {
    if (text == adoptedText) {
      machine = forMachine;
      return true;
    }
    ReleaseList other;
    std::string ignored;  // only its number is shown, if it has one
    bool readable = other.parse(text, nullptr, &ignored);
    return fatal("the server sent another release list than before (" + releaseName(list.number) +
                 ", then " + (readable ? releaseName(other.number) : "an unreadable one") +
                 "): no mixed releases");
  }
  if (packageTrust() != PackageTrust::Verified) {
    return fatal(std::string("release list refused: no usable package key: ") + packageKeyProblem());
  }
  ReleaseList candidate;
  std::string error;
  if (!candidate.parse(text, &packageKey(), &error)) return fatal("release list refused: " + error);
  uint64_t lowest = 0;
  if (!readLowestRelease(&lowest)) {
    return fatal(std::string(kLowestReleasePath) + " holds no release number");
  }
  int64_t now = static_cast<int64_t>(time(nullptr));
  switch (judgeRelease(candidate, lowest, /*recorded=*/0, now)) {
    case ReleaseVerdict::belowLowest:
    case ReleaseVerdict::belowRecorded:  // not asked here
      return fatal(releaseName(candidate.number) + " is older than " + releaseName(lowest) +
                   ", the oldest this medium accepts");
    case ReleaseVerdict::expired:
      return fatal(releaseName(candidate.number) + " expired on " +
                   releaseTimeText(candidate.expires, false) + " (the clock says " +
                   releaseTimeText(now, false) + ")");
    case ReleaseVerdict::acceptedClockUnset:
      printf("WARNING: the clock says %s, before %s was made: its expiry is not checked\n",
             releaseTimeText(now, false).c_str(), releaseName(candidate.number).c_str());
      break;
    case ReleaseVerdict::accepted:
      break;
  }
  list = std::move(candidate);
  machine = forMachine;
  adoptedText = text;
  adopted = true;
  printf("Release %llu of %s, signed with key %s\n", static_cast<unsigned long long>(list.number),
         list.product.c_str(), list.signer.id().c_str());
  return true;
}

bool checkRecordedRelease(uint64_t recorded) {
  if (!adopted) return true;
  if (judgeRelease(list, 0, recorded, list.created) != ReleaseVerdict::belowRecorded) return true;
  return fatal(releaseName(list.number) + " is older than " + releaseName(recorded) +
               ", which the system being replaced records: its configuration is not kept for an "
               "older release");
}

const ReleaseList* adoptedRelease() { return adopted ? &list : nullptr; }

const char* firstMissingReleasePackage() {
  if (!adopted) return nullptr;
  for (const ReleaseFile& file : list.files) {
    if (file.kind == ReleaseFileKind::package && list.takes(file, machine) &&
        arrived.count(file.name) == 0) {
      return file.name.c_str();
    }
  }
  return nullptr;
}

std::string recordedReleaseText(uint64_t number) {
  return "release: " + std::to_string(number) + "\n";
}

void resetInstallationRelease() {
  adopted = false;
  adoptedText.clear();
  list = ReleaseList();
  machine.clear();
  arrived.clear();
}

ReleasedFileCheck::ReleasedFileCheck() = default;
ReleasedFileCheck::~ReleasedFileCheck() = default;

bool ReleasedFileCheck::begin(const char* name, ReleaseFileKind kind) {
  check_.reset();
  name_ = shownName(name);
  token_ = false;
  tokenBytes_ = 0;
  if (!adopted) return true;
  // Made by the server for this installation, after the list was signed.
  if (kind == ReleaseFileKind::script && strcmp(name, kUpTokenFileName) == 0) {
    token_ = true;
    return true;
  }
  const ReleaseFile* entry = list.find(name, machine);  // listed names are printable
  if (entry == nullptr) return fatal(name_ + " is not in " + releaseName(list.number));
  if (entry->kind != kind) {
    return fatal(name_ + " is listed in " + releaseName(list.number) + " as a " +
                 releaseFileKindName(entry->kind) + ", not as a " + releaseFileKindName(kind));
  }
  check_.reset(new ReleaseFileCheck(*entry));
  return true;
}

bool ReleasedFileCheck::update(const void* data, size_t size) {
  if (token_) {
    tokenBytes_ += size;
    if (tokenBytes_ <= kLongestUpTokenFile) return true;
    return fatal(name_ + " is longer than the " + std::to_string(kLongestUpTokenFile) +
                 " bytes a token file may have");
  }
  if (check_ == nullptr || check_->update(static_cast<const char*>(data), size)) return true;
  return fatal(name_ + " does not match " + releaseName(list.number) + ": longer than the " +
               std::to_string(check_->entry().size) + " bytes listed");
}

bool ReleasedFileCheck::finish() {
  if (check_ == nullptr) return true;
  std::string error;
  if (!check_->finish(&error)) {
    return fatal(name_ + " does not match " + releaseName(list.number) + ": " + error);
  }
  if (check_->entry().kind == ReleaseFileKind::package) arrived.insert(check_->entry().name);
  return true;
}
