#include "libinstall/package_info.h"

#include <fstream>

#include "archive_reader.h"
#include "gzip_stream.h"
#include "package_metadata.h"
#include "package_stream.h"

PackageInfo::~PackageInfo() = default;

std::string PackageInfo::getFullName() const {
  if (name.empty()) return fallbackName;
  return version.empty() ? name : name + "-" + version;
}

bool PackageInfo::requires(const PackageInfo& other) const {
  for (const PackageDep& dep : dependencies) {
    if (dep.name == other.name) return true;
  }
  return false;
}

bool PackageFile::readFrom(const std::string& filePath) {
  name.clear();
  version.clear();
  description.clear();
  dependencies.clear();
  path.clear();
  fallbackName = filePath.substr(filePath.find_last_of('/') + 1);

  std::ifstream in(filePath, std::ios::binary);
  if (!in) return false;
  // Only the head of the file is decompressed: the metadata member comes
  // first, and the rest is checked when the package is installed.
  libinstall::GzipReader gzip(in);
  libinstall::ArchiveReader reader(gzip);
  libinstall::PackageMetadata metadata;
  std::string error;
  if (!libinstall::readMetadataMember(reader, &metadata, &error)) return false;

  name = metadata.name;
  version = metadata.version;
  description = metadata.description;
  for (const std::string& dep : metadata.depends) dependencies.emplace_back(dep);
  path = filePath;
  return true;
}
