#include "package_input.h"

#include "package_limits.h"
#include "package_signature.h"

namespace libinstall {

PackageInput::PackageInput(std::istream& in) : raw_(in), headGzip_(raw_), headArchive_(headGzip_) {}

PackageInput::~PackageInput() = default;

bool PackageInput::open(const PackageKey* requiredKey, bool checkChunks, std::string* error) {
  Member first;
  int rc = headArchive_.next(&first);
  if (rc < 0) {
    *error = headArchive_.error();
    return false;
  }
  if (rc == 1 && first.type == MemberType::Regular && first.path == kSignatureMember) {
    return openSigned(first, requiredKey, checkChunks, error);
  }
  if (requiredKey != nullptr) {
    *error = "package not signed (only packages signed with key " + requiredKey->id() +
             " are accepted)";
    return false;
  }
  if (rc == 0) {
    *error = "not a package (an empty archive)";
    return false;
  }
  headArchive_.putBack(first);
  return true;
}

bool PackageInput::openSigned(const Member& member, const PackageKey* requiredKey,
                              bool checkChunks, std::string* error) {
  if (member.size > kMaxSignatureSize) {
    *error = "damaged signature (oversized)";
    return false;
  }
  SignatureReader signature;
  char piece[4096];
  for (;;) {
    long n = headArchive_.readData(piece, sizeof piece);
    if (n < 0) {
      *error = headArchive_.error();
      return false;
    }
    if (n == 0) break;
    if (!signature.feed(piece, static_cast<size_t>(n), error)) return false;
  }
  if (!signature.finish(error)) return false;
  const SignatureHead& head = signature.head();
  signer_ = head.signer;
  if (requiredKey != nullptr && head.signer != *requiredKey) {
    *error = "signed with key " + head.signer.id() + ", not with the required key " +
             requiredKey->id();
    return false;
  }
  // The signature's gzip member ends with it: nothing unsigned may stand
  // between the signature and the data it covers.
  if (!headArchive_.skipMember()) {
    *error = headArchive_.error();
    return false;
  }
  char probe;
  long more = headGzip_.read(&probe, 1);
  if (more != 0) {
    *error = more < 0 ? headGzip_.error() : "damaged signed package (data beside its signature)";
    return false;
  }
  std::string ahead = headGzip_.unusedInput();
  properOffset_ = headGzip_.inputBytes() - ahead.size();
  rest_ = std::make_unique<PrefixedSource>(std::move(ahead), raw_);
  ByteSource* proper = rest_.get();
  if (checkChunks) {
    verifier_ = std::make_unique<ChunkVerifier>(*rest_, head.chunkSize, head.length,
                                                signature.takeChunks());
    proper = verifier_.get();
  }
  body_ = std::make_unique<GzipReader>(*proper);
  bodyArchive_ = std::make_unique<ArchiveReader>(*body_);
  gzip_ = body_.get();
  archive_ = bodyArchive_.get();
  return true;
}

bool PackageInput::finish(std::string* error) {
  if (!archive_->drain()) {
    *error = archive_->error();
    return false;
  }
  if (!gzip_->finish()) {
    *error = gzip_->error();
    return false;
  }
  return true;
}

}  // namespace libinstall
