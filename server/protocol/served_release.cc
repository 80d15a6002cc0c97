#include "server/protocol/served_release.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <libinstall/release_list.h>

#include "server/lab/machine_release.h"
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
  if (!checkMachinesAgainstRelease(root, list, error)) return false;
  summary = "release " + std::to_string(list.number) + " of " + list.product + ", " +
            std::to_string(list.files.size()) + " files, signed with key " + list.signer.id() +
            ", expires " + releaseTimeText(list.expires, false);
  return true;
}
