#include "package_stream.h"

#include "extractor.h"
#include "member_path.h"
#include "message_text.h"
#include "package_database.h"
#include "package_input.h"

namespace libinstall {

bool readMetadataMember(ArchiveReader& reader, PackageMetadata* metadata, std::string* error) {
  Member member;
  int rc = reader.next(&member);
  if (rc < 0) {
    *error = reader.error();
    return false;
  }
  std::vector<std::string> components;
  std::string reason;
  if (rc == 0 || member.type != MemberType::Regular ||
      !splitMemberPath(member.path, &components, &reason) || components.size() != 1 ||
      components[0] != kMetadataMember) {
    *error = std::string("not a package (its first member is not ") + kMetadataMember + ")";
    return false;
  }
  if (member.size > kMaxMetadataSize) {
    *error = "oversized package metadata";
    return false;
  }
  std::string text(static_cast<size_t>(member.size), '\0');
  size_t done = 0;
  while (done < text.size()) {
    long n = reader.readData(&text[done], text.size() - done);
    if (n <= 0) {
      *error = reader.error();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return parseMetadata(text, metadata, error);
}

namespace {

bool installMembers(ArchiveReader& reader, Extractor& extractor, PackageRecord* record,
                    std::string* error) {
  Member member;
  std::vector<std::string> components;
  for (;;) {
    int rc = reader.next(&member);
    if (rc < 0) {
      *error = reader.error();
      return false;
    }
    if (rc == 0) return true;
    std::string reason;
    if (!splitInstallablePath(member.path, &components, &reason)) {
      *error = "member " + quotedName(member.path) + ": " + reason + " refused";
      return false;
    }
    if (components.empty()) continue;  // the root itself keeps its own attributes
    if (!extractor.install(member, components, reader, &reason)) {
      *error = "member " + quotedName(member.path) + ": " + reason;
      return false;
    }
    if (record != nullptr &&
        !record->add(joinedPath(components), member.type == MemberType::Directory)) {
      *error = "cannot write the package database record";
      return false;
    }
  }
}

bool installPackage(std::istream& in, RootDir& root, const StreamInstallOptions& options,
                    PackageMetadata* metadata, std::string* error) {
  PackageInput input(in);
  if (!input.open(options.requiredKey, /*checkChunks=*/true, error)) return false;
  ArchiveReader& reader = input.archive();
  if (!readMetadataMember(reader, metadata, error)) return false;

  PackageRecord record;
  if (options.record) {
    if (!record.begin(root, *metadata, error)) return false;
    // Members may not reach the record while it is written, nor any other.
    if (!root.fenceOff(record.directoryFd())) {
      *error = "cannot protect the package database";
      return false;
    }
  }
  Extractor extractor(root, ExtractOptions{options.replaceFiles, options.applyOwners});
  if (!installMembers(reader, extractor, options.record ? &record : nullptr, error)) {
    // What was installed keeps sane directory modes even so.
    std::string ignored;
    (void)extractor.finish(&ignored);  // the first error is the one to report
    return false;
  }
  if (!extractor.finish(error)) return false;
  if (!input.finish(error)) return false;
  return !options.record || record.commit(error);
}

}  // namespace

bool splitInstallablePath(const std::string& path, std::vector<std::string>* components,
                          std::string* reason) {
  if (!splitMemberPath(path, components, reason)) return false;
  // Only the first member describes the package; another would be installed
  // as a file of the new system's root.
  if (components->size() == 1 && (*components)[0] == kMetadataMember) {
    *reason = "second package metadata member";
    return false;
  }
  return true;
}

bool installPackageStream(std::istream& in, RootDir& root, const StreamInstallOptions& options,
                          PackageMetadata* metadata, std::string* error) {
  *metadata = PackageMetadata();
  if (installPackage(in, root, options, metadata, error)) return true;
  *error = printableLine(*error);
  return false;
}

}  // namespace libinstall
