#pragma once
// The release list: the operator's signed account of one release, every file
// an installation of it may take (packages, driver packages, scripts, the
// first sector of a self-installing disk) with its size and SHA-256, a
// release number that only grows, and when it was made and expires. A
// package signature proves who made a package; the list proves that it
// belongs to the release served today, whole and unmixed.
//
//   format: bdl-release 1
//   key: <64 hex digits>             the signer's public key
//   product: Korvanel
//   release: 2
//   created: 1796791200              seconds since 1970 (UTC)
//   expires: 1799383200
//   file: package 4194304 <64 hex digits> system.bdl
//   file: script 120 <64 hex digits> autorun.scr
//   file: script 96 <64 hex digits> autorun.scr 52:54:00:ab:cd:01
//   signature: <128 hex digits>      Ed25519 over every byte before this line
//
// A fifth field gives an entry to the one machine of that hardware address:
// a machine takes its own entries and, for names it has none of, those
// without one, so that one list covers a lab whose machines get files of
// their own under one name (and machines it does not name, the common ones).
//
// docs/package-format.md describes the format and its limits.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "libinstall/package_key.h"

namespace libinstall {
class Sha256Stream;
}  // namespace libinstall

// The whole list is held in memory: these bound it.
constexpr size_t kMaxReleaseListSize = 1024 * 1024;
constexpr size_t kMaxReleaseLine = 256;
constexpr size_t kMaxReleaseFiles = 4096;
constexpr size_t kMaxReleaseFileName = 64;
constexpr size_t kMaxReleaseProduct = 64;
// "aa:bb:cc:dd:ee:ff": the one spelling of a machine's hardware address.
constexpr size_t kReleaseMachineSize = 17;

enum class ReleaseFileKind {
  package,  // installed into the new system: every one of a mode must arrive
  driver,   // a driver package for one kernel, installed into the running installer
  script,   // a configuration script
  file,     // anything else the installer reads (a disk's first sector)
};

// "package", "driver", "script" or "file".
const char* releaseFileKindName(ReleaseFileKind kind);

// A list's time as UTC text: "2026-12-09", or with `withClock`
// "2026-12-09 07:20 UTC"; the bare number where the system cannot show it.
std::string releaseTimeText(int64_t seconds, bool withClock);

struct ReleaseFile {
  ReleaseFileKind kind = ReleaseFileKind::package;
  uint64_t size = 0;
  std::array<unsigned char, 32> sha256{};
  std::string name;
  // The hardware address of the one machine the entry is for, as
  // isReleaseMachine spells it; empty: every machine.
  std::string machine;
};

struct ReleaseList {
  PackageKey signer;
  std::string product;
  uint64_t number = 0;
  int64_t created = 0;
  int64_t expires = 0;
  std::vector<ReleaseFile> files;

  // Reads the text of a list and checks its signature. With `requiredKey`
  // the list must be signed by that key. False with *error (one line) for a
  // text past the limits, out of order, with a bad number, name or digest, a
  // name listed twice, or a signature that does not hold; the list is then
  // left empty.
  bool parse(const std::string& text, const PackageKey* requiredKey, std::string* error);

  // The entry named `name` that `machine` takes: its own, else the one for
  // every machine; null when there is neither (another machine's entry is
  // no entry for it). An empty `machine` takes only entries for every
  // machine.
  const ReleaseFile* find(const std::string& name, const std::string& machine = "") const;

  // Whether `file`, one of `files`, is an entry `machine` takes (as find
  // chooses): an entry for every machine is not, where the machine has its
  // own of that name.
  bool takes(const ReleaseFile& file, const std::string& machine) const;

  // Whether `data` is the file `name` of the list for `machine` (as find):
  // listed, of its size and SHA-256. False with *error naming the file and
  // what differs.
  bool check(const std::string& name, const char* data, size_t size, std::string* error,
             const std::string& machine = "") const;
};

// The names of a list's entries as they are added, to refuse a name twice
// for one machine (or twice for every machine), which would leave find a
// choice. The parser and bdl release hold lists to this one rule.
class ReleaseNames {
 public:
  // False with *error ("\"NAME\" listed twice", ...) when `file` may not
  // join the entries added before.
  bool add(const ReleaseFile& file, std::string* error);

 private:
  std::set<std::pair<std::string, std::string>> added_;  // (name, machine)
};

// `name` may stand in a list: 1 to 64 of A-Z a-z 0-9 . _ + - ~, beginning
// with a letter or digit (a package or script file's own name, never a path).
bool isReleaseFileName(const std::string& name);

// `text` is a hardware address as a list writes it: six pairs of lower-case
// hex digits joined by ":".
bool isReleaseMachine(const std::string& text);

// Checks one file as its bytes pass, against its entry: the size as soon as
// it is exceeded, the digest at the end.
class ReleaseFileCheck {
 public:
  // REQUIRES: `entry` outlives the check.
  explicit ReleaseFileCheck(const ReleaseFile& entry);
  ~ReleaseFileCheck();
  ReleaseFileCheck(const ReleaseFileCheck&) = delete;
  ReleaseFileCheck& operator=(const ReleaseFileCheck&) = delete;

  // False once more bytes have passed than the entry's size.
  bool update(const char* data, size_t size);
  // After the last byte: true when exactly the entry's size passed and the
  // digest matches. False with *error saying what differs.
  bool finish(std::string* error);

  uint64_t received() const { return received_; }
  const ReleaseFile& entry() const { return entry_; }

 private:
  const ReleaseFile& entry_;
  uint64_t received_ = 0;
  std::unique_ptr<libinstall::Sha256Stream> digest_;
};
