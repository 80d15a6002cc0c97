#pragma once
// Opens a package stream, signed or not, up to the package proper: the
// archive whose first member is the metadata (.bdlinfo).
//
// A signed package begins with a gzip member of its own that holds one tar
// member, the signature (.bdlsig, package_signature.h); the package proper
// follows as bdl pack wrote it. The signature is checked as soon as it is
// read, and then every chunk of the package proper before anything of that
// chunk is decompressed. Where a key is required, an unsigned package, or one
// signed with another key, is refused before anything after its head is read.

#include <iosfwd>
#include <memory>
#include <string>

#include "archive_reader.h"
#include "byte_stream.h"
#include "chunk_verifier.h"
#include "gzip_stream.h"
#include "libinstall/package_key.h"

namespace libinstall {

class PackageInput {
 public:
  // `in` must outlive the object.
  explicit PackageInput(std::istream& in);
  ~PackageInput();
  PackageInput(const PackageInput&) = delete;
  PackageInput& operator=(const PackageInput&) = delete;

  // Reads the signature member when there is one. `requiredKey`: the key
  // packages must be signed with, null when unsigned packages are accepted
  // too. `checkChunks`: false for readers of the metadata alone, which stop
  // early and install nothing. False with *error.
  bool open(const PackageKey* requiredKey, bool checkChunks, std::string* error);

  // After open() succeeded: the package proper, at its first member.
  ArchiveReader& archive() { return *archive_; }

  // After the archive's end marker: true when only padding follows and the
  // compressed data, and the signed chunks, were intact to the end.
  bool finish(std::string* error);

  bool isSigned() const { return body_ != nullptr; }
  // The key the package was signed with, when it is signed.
  const PackageKey& signer() const { return signer_; }
  // Where the package proper begins in the raw stream: 0 for an unsigned
  // package, the end of the signature's gzip member for a signed one.
  unsigned long long properOffset() const { return properOffset_; }

 private:
  bool openSigned(const Member& member, const PackageKey* requiredKey, bool checkChunks,
                  std::string* error);

  IstreamSource raw_;
  GzipReader headGzip_;
  ArchiveReader headArchive_;
  // The package proper of a signed package, which has a gzip stream of its own.
  std::unique_ptr<PrefixedSource> rest_;
  std::unique_ptr<ChunkVerifier> verifier_;
  std::unique_ptr<GzipReader> body_;
  std::unique_ptr<ArchiveReader> bodyArchive_;

  GzipReader* gzip_ = &headGzip_;
  ArchiveReader* archive_ = &headArchive_;
  PackageKey signer_;
  unsigned long long properOffset_ = 0;
};

}  // namespace libinstall
