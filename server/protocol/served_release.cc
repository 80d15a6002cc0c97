#include "server/protocol/served_release.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

#include <libinstall/release_list.h>

#include "server/protocol/file_cursor.h"

namespace {

// The whole list, at most as large as installers take it.
bool readList(const std::string& path, std::string& text, std::string& error) {
  FileCursor cursor;
  if (!cursor.open(path)) {
    error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (cursor.size() > kMaxReleaseListSize) {
    error = path + " is larger than a release list may be";
    return false;
  }
  text.clear();
  char block[4096];
  long count;
  while ((count = cursor.readNext(block, sizeof block)) > 0) text.append(block, static_cast<size_t>(count));
  if (count < 0) {
    error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool sameContent(const ServedFile& file, const ReleaseFile& entry) {
  FileCursor cursor;
  if (!cursor.open(file.path)) return false;
  ReleaseFileCheck check(entry);
  char block[64 * 1024];
  long count;
  bool fits = true;
  while (fits && (count = cursor.readNext(block, sizeof block)) > 0) {
    fits = check.update(block, static_cast<size_t>(count));
  }
  std::string ignored;  // the caller reports a file that matches no entry
  return fits && count == 0 && check.finish(&ignored);
}

// `file` against its entry: listed, of `kind`, of its size and SHA-256.
bool matchesEntry(const ServedFile& file, const std::string& shownPath, ReleaseFileKind kind,
                  const ReleaseList& list, std::string& error) {
  std::string release = "release " + std::to_string(list.number);
  const ReleaseFile* entry = list.find(file.name);
  // A file of the lab-wide folders that the list gives to machines of their
  // own: it must be one of them (which machine is served what, the root's
  // per-machine folders decide).
  for (const ReleaseFile& candidate : list.files) {
    if (entry != nullptr) break;
    if (candidate.name == file.name && sameContent(file, candidate)) entry = &candidate;
  }
  if (entry == nullptr) {
    error = shownPath + " is not in " + release;
    return false;
  }
  if (entry->kind != kind) {
    error = shownPath + " is listed in " + release + " as a " + releaseFileKindName(entry->kind) +
            ", not as a " + releaseFileKindName(kind);
    return false;
  }
  FileCursor cursor;
  if (!cursor.open(file.path)) {
    error = "cannot read " + file.path + ": " + strerror(errno);
    return false;
  }
  ReleaseFileCheck check(*entry);
  char block[64 * 1024];
  long count;
  bool fits = true;
  while (fits && (count = cursor.readNext(block, sizeof block)) > 0) {
    fits = check.update(block, static_cast<size_t>(count));
  }
  if (fits && count < 0) {
    error = "cannot read " + file.path + ": " + strerror(errno);
    return false;
  }
  std::string why = "longer than the " + std::to_string(entry->size) + " bytes listed";
  if (!fits || !check.finish(&why)) {
    error = shownPath + " does not match " + release + ": " + why;
    return false;
  }
  return true;
}


}  // namespace

bool findServedRelease(const std::string& root, ServedFile& file) {
  std::string path = root + "/" + kServedReleaseName;
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  file = {kServedReleaseName, path, kPackageMark};
  return true;
}

bool checkServedRelease(const std::string& root, std::string& summary, std::string& error) {
  ServedFile listFile;
  if (!findServedRelease(root, listFile)) {
    summary = std::string("note: no release list (") + kServedReleaseName +
              "): installers with a package key refuse this root";
    return true;
  }
  std::string text;
  if (!readList(listFile.path, text, error)) return false;
  ReleaseList list;
  if (!list.parse(text, nullptr, &error)) {
    error = listFile.path + ": " + error;
    return false;
  }
  std::vector<ServedFile> files;
  std::vector<ServedFile> drivers;
  if (!listInstallFiles(root, files, error) || !listDriverFiles(root, drivers, error)) return false;
  std::set<std::string> present;
  for (const ServedFile& file : files) {
    std::string shown = std::string(file.script ? (file.mark == kScriptMark ? "scripts/" : "held-scripts/")
                                                : "packages/") + file.name;
    ReleaseFileKind kind = file.script ? ReleaseFileKind::script : ReleaseFileKind::package;
    if (!matchesEntry(file, shown, kind, list, error)) return false;
    present.insert(file.name);
  }
  for (const ServedFile& driver : drivers) {
    if (!matchesEntry(driver, "drivers/" + driver.name, ReleaseFileKind::driver, list, error)) {
      return false;
    }
    present.insert(driver.name);
  }
  for (const ReleaseFile& entry : list.files) {
    if (entry.kind != ReleaseFileKind::file && present.count(entry.name) == 0) {
      error = std::string(releaseFileKindName(entry.kind)) + " " + entry.name + " of release " +
              std::to_string(list.number) + " is missing from " + root;
      return false;
    }
  }
  summary = "release " + std::to_string(list.number) + " of " + list.product + ", " +
            std::to_string(list.files.size()) + " files, signed with key " + list.signer.id() +
            ", expires " + releaseTimeText(list.expires, false);
  return true;
}
