#pragma once
// The release an installation follows when its boot medium carries a
// package key: the operator's signed release list (libinstall/release_list.h)
// is taken before any file, and every file after it is checked against its
// entry as it passes. Without a key nothing here is used.
//
// Every function that refuses prints one "FATAL ERROR" line saying why and
// naming the file; the caller then ends the installation.

#include <libinstall/release_list.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The lowest release the medium accepts, beside the package key.
constexpr const char* kLowestReleasePath = "/package-key.release";
// The list's name on a medium and in a server's file header.
constexpr const char* kReleaseListName = "release.lst";
// Where the new system records its release, below its root.
constexpr const char* kRecordedReleasePath = "/var/pdb/.release";

// Whether this run follows a release list: the boot medium carries a package
// key (usable or not). Valid after loadPackageKey().
bool releaseListRequired();

// Takes the text of the release list: signed with the package key, not
// below the medium's lowest release, not expired (with an unset clock: a
// warning, once). Prints the release it follows. A later call must bring the
// very same text (a server sends the list before the drivers and again
// before the packages: one release for both). From then on files are looked
// up as `machine` takes them ("aa:bb:cc:dd:ee:ff", the card the server
// answers; empty: a medium, which takes only entries for every machine):
// its own entries, else the common ones; another machine's are not listed
// for it.
[[nodiscard]] bool adoptReleaseList(const std::string& text, const std::string& machine = "");

// When the old configuration is kept: the release the old system records
// (0: none). Refuses an adopted release numbered below it.
[[nodiscard]] bool checkRecordedRelease(uint64_t recorded);

// The release followed, or null.
const ReleaseList* adoptedRelease();

// The name of a package the adopted list names for this machine that has
// not passed a check (finish() of ReleasedFileCheck) yet, or null when all
// have.
const char* firstMissingReleasePackage();

// "release: N" and a newline, as the new system records it.
std::string recordedReleaseText(uint64_t number);

// Forgets the adopted release (tests run several installations in one
// process).
void resetInstallationRelease();

// One file of the followed release as its bytes pass. Without an adopted
// release (no key) every call succeeds and checks nothing.
class ReleasedFileCheck {
 public:
  ReleasedFileCheck();
  ~ReleasedFileCheck();

  // Looks `name` up as a file of `kind`. False when it is not listed so.
  [[nodiscard]] bool begin(const char* name, ReleaseFileKind kind);
  // False once more bytes passed than the entry's size.
  [[nodiscard]] bool update(const void* data, size_t size);
  // After the last byte: false when the size or SHA-256 differ. A package
  // that matches counts as arrived.
  [[nodiscard]] bool finish();

 private:
  std::unique_ptr<ReleaseFileCheck> check_;
  std::string name_;
  // The installation's token file, taken unlisted: only its size is bounded.
  bool token_ = false;
  size_t tokenBytes_ = 0;
};
