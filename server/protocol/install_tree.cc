#include "server/protocol/install_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <libinstall/package_info.h>

#include "server/protocol/package_order.h"

namespace {

bool endsWith(const std::string& text, const char* suffix) {
  size_t length = strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

bool isRegularFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The regular files of `directory` whose names end in `suffix` and are longer
// than it, sorted by name. A missing directory is empty when `optional`.
bool listDirectory(const std::string& directory, const char* suffix, bool optional,
                   std::vector<ServedFile>& files, std::string& error) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    if (optional && errno == ENOENT) return true;
    error = "cannot read " + directory + ": " + strerror(errno);
    return false;
  }
  std::vector<ServedFile> found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= strlen(suffix) || !endsWith(name, suffix)) continue;
    std::string path = directory + "/" + name;
    if (!isRegularFile(path)) continue;
    if (!isServableName(name)) {
      error = "cannot serve " + path + ": names must be printable and at most " +
              std::to_string(kLongestServedName) + " characters long";
      closedir(dir);
      return false;
    }
    found.push_back({name, path, kPackageMark});
  }
  closedir(dir);
  std::sort(found.begin(), found.end(),
            [](const ServedFile& a, const ServedFile& b) { return a.name < b.name; });
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

}  // namespace

bool isServableName(const std::string& name) {
  if (name.empty() || name.size() > kLongestServedName) return false;
  if (name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7F || c == '/') return false;
  }
  return true;
}

bool checkInstallTree(const std::string& root, std::string& error) {
  struct stat status;
  if (stat(root.c_str(), &status) != 0) {
    error = "cannot use " + root + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    error = "cannot use " + root + ": not a directory";
    return false;
  }
  std::vector<ServedFile> files;
  if (!listInstallFiles(root, files, error)) return false;
  bool anyPackage = std::any_of(files.begin(), files.end(),
                                [](const ServedFile& file) { return !file.script; });
  if (!anyPackage) {
    error = "no packages (*.bdl) in " + root + "/packages";
    return false;
  }
  return true;
}

bool listInstallFiles(const std::string& root, std::vector<ServedFile>& files,
                      std::string& error) {
  std::vector<ServedFile> packages;
  if (!listDirectory(root + "/packages", ".bdl", /*optional=*/false, packages, error)) return false;
  if (!orderPackages(packages, error)) return false;
  std::vector<ServedFile> scripts;
  if (!listScriptFiles(root + "/scripts", kScriptMark, scripts, error) ||
      !listScriptFiles(root + "/held-scripts", kHeldScriptMark, scripts, error)) {
    return false;
  }
  files = std::move(packages);
  files.insert(files.end(), scripts.begin(), scripts.end());
  return true;
}

bool listScriptFiles(const std::string& dir, int mark, std::vector<ServedFile>& scripts,
                     std::string& error) {
  size_t before = scripts.size();
  if (!listDirectory(dir, ".scr", /*optional=*/true, scripts, error)) return false;
  for (size_t i = before; i < scripts.size(); ++i) {
    scripts[i].mark = mark;
    scripts[i].script = true;
  }
  return true;
}

bool listDriverFiles(const std::string& root, std::vector<ServedFile>& files,
                     std::string& error) {
  return listDirectory(root + "/drivers", ".bdl", /*optional=*/true, files, error);
}

std::vector<std::string> listUnsignedPackages(const std::string& root) {
  std::vector<std::string> found;
  for (const char* directory : {"drivers", "packages"}) {
    std::vector<ServedFile> files;
    std::string ignored;  // the tree was checked before; a gap just lists less
    (void)listDirectory(root + "/" + directory, ".bdl", /*optional=*/true, files, ignored);
    for (const ServedFile& file : files) {
      PackageFile package;
      if (package.readFrom(file.path) && !package.isSigned) {
        found.push_back(std::string(directory) + "/" + file.name);
      }
    }
  }
  return found;
}

bool findDriverFile(const std::string& root, const std::string& release, ServedFile& file) {
  std::string name = release + ".bdl";
  // The release text comes from the network: it must name a file in drivers/.
  if (release.empty() || release.find('/') != std::string::npos || release == "." ||
      release == ".." || name.size() > 79) {
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7F) return false;
  }
  std::string path = root + "/drivers/" + name;
  if (!isRegularFile(path)) return false;
  file = {name, path, kPackageMark};
  return true;
}
