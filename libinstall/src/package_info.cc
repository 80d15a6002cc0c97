#include "libinstall/package_info.h"

#include <fstream>

#include "package_input.h"
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
  isSigned = false;
  signer = PackageKey();
  fallbackName = filePath.substr(filePath.find_last_of('/') + 1);

  std::ifstream in(filePath, std::ios::binary);
  if (!in) return false;
  // Only the head of the file is decompressed: the signature, if any, and
  // the metadata member; the rest is checked when the package is installed.
  libinstall::PackageInput input(in);
  libinstall::PackageMetadata metadata;
  std::string error;
  if (!input.open(/*requiredKey=*/nullptr, /*checkChunks=*/false, &error) ||
      !libinstall::readMetadataMember(input.archive(), &metadata, &error)) {
    return false;
  }

  name = metadata.name;
  version = metadata.version;
  description = metadata.description;
  for (const std::string& dep : metadata.depends) dependencies.emplace_back(dep);
  path = filePath;
  isSigned = input.isSigned();
  signer = input.signer();
  return true;
}
