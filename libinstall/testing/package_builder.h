#pragma once
// Test helper: builds package streams member by member, exactly as told, so
// tests can make packages that bdl would never make (hostile paths, links
// that escape, damaged data).

#include <string>
#include <vector>

#include "byte_stream.h"
#include "package_limits.h"
#include "package_metadata.h"
#include "package_signature.h"
#include "signing_keys.h"
#include "tar_format.h"

namespace package_testing {

// Hands out `data` as a byte source, at most `step` bytes per read (a small
// step exercises partial reads).
class MemorySource : public libinstall::ByteSource {
 public:
  explicit MemorySource(std::string data, size_t step = 1 << 20);
  long read(char* buffer, size_t size) override;
  const std::string& error() const override { return error_; }

 private:
  std::string data_;
  size_t step_;
  size_t pos_ = 0;
  std::string error_;
};

struct TestMember {
  libinstall::Member member;
  std::string data;  // regular files only

  static TestMember file(const std::string& path, const std::string& data, uint32_t mode = 0644);
  static TestMember directory(const std::string& path, uint32_t mode = 0755);
  static TestMember symlink(const std::string& path, const std::string& target);
  static TestMember hardLink(const std::string& path, const std::string& target);
};

libinstall::PackageMetadata metadataNamed(const std::string& name,
                                          const std::vector<std::string>& depends = {});

// The uncompressed tar stream: a metadata member holding `metadataText` (none
// when it is empty), then `members`, then the end marker.
std::string buildArchive(const std::string& metadataText, const std::vector<TestMember>& members);
// `level` 0 stores the data as it is, so its bytes can be found in the result.
std::string gzipBytes(const std::string& raw, int level = -1);
// gzip(buildArchive(formatMetadata(metadata), members)).
std::string buildPackage(const libinstall::PackageMetadata& metadata,
                         const std::vector<TestMember>& members);

// The signature text for `package` (a package proper), made with `key` over
// chunks of `chunkSize` bytes.
std::string signatureTextFor(const std::string& package, const libinstall::SecretKey& key,
                             uint32_t chunkSize = libinstall::kMinChunkSize);
// `package` behind a signature member that holds `text`.
std::string withSignature(const std::string& text, const std::string& package);
// `package` signed with `key`.
std::string signedPackage(const std::string& package, const libinstall::SecretKey& key,
                          uint32_t chunkSize = libinstall::kMinChunkSize);

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes a tree without following symbolic links.
void removeTree(const std::string& path);

}  // namespace package_testing
