#include "text_container.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include "archive_writer.h"
#include "hex_text.h"
#include "package_metadata.h"
#include "package_input.h"
#include "package_signature.h"
#include "sha256.h"

namespace fuzz {
namespace {

struct FixedKey {
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey;
  FixedKey() {
    // A fixed seed: the seeds on disk and every run must agree on the key.
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    seed.fill(0x5A);
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
  }
};

const FixedKey& fixedKey() {
  static const FixedKey key;
  return key;
}

class StringSink : public libinstall::ByteSink {
 public:
  bool write(const char* data, size_t size) override {
    bytes.append(data, size);
    return true;
  }
  const std::string& error() const override { return error_; }
  std::string bytes;

 private:
  std::string error_;
};

std::string stored(const std::string& bytes) {
  return storedGzip(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool addMember(libinstall::ArchiveWriter& writer, const char* path, const std::string& data) {
  libinstall::Member member;
  member.path = path;
  member.mode = 0644;
  member.size = data.size();
  return writer.beginMember(member) && writer.writeData(data.data(), data.size()) &&
         writer.endMember();
}

}  // namespace

std::string metadataPackage(const std::string& text) {
  StringSink archive;
  libinstall::ArchiveWriter writer(archive);
  (void)(addMember(writer, libinstall::kMetadataMember, text) &&
         addMember(writer, "etc/fuzz", "fuzz\n") && writer.finish());
  return stored(archive.bytes);
}

const std::string& bodyPackage() {
  static const std::string body = metadataPackage(
      std::string("format: ") + libinstall::kFormatVersion + "\nname: fuzz\nversion: 1.0\n");
  return body;
}

std::string signedPackage(const std::string& text, const std::string& body) {
  // As bdl sign lays it out: the one member, no end marker, its own gzip
  // member (stored here rather than deflated).
  StringSink archive;
  libinstall::ArchiveWriter writer(archive);
  (void)addMember(writer, libinstall::kSignatureMember, text);
  return stored(archive.bytes) + body;
}

std::string signWithFixedKey(const std::string& text) {
  crypto_sign_ed25519ph_state state;
  crypto_sign_ed25519ph_init(&state);
  crypto_sign_ed25519ph_update(&state, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  std::array<unsigned char, crypto_sign_BYTES> signature;
  crypto_sign_ed25519ph_final_create(&state, signature.data(), nullptr,
                                     fixedKey().secretKey.data());
  return text + "signature: " + libinstall::toHex(signature.data(), signature.size()) + "\n";
}

std::string fixedPublicKeyHex() {
  return libinstall::toHex(fixedKey().publicKey.data(), fixedKey().publicKey.size());
}

std::string unsignedSignatureText(const std::string& body, unsigned chunkSize) {
  std::string text = std::string(libinstall::kSignatureFormatLine) + "\nkey: " +
                     fixedPublicKeyHex() + "\nchunk-size: " + std::to_string(chunkSize) +
                     "\nlength: " + std::to_string(body.size()) + "\n";
  for (size_t at = 0; at < body.size(); at += chunkSize) {
    libinstall::Digest digest = libinstall::sha256(body.data() + at,
                                                   std::min<size_t>(chunkSize, body.size() - at));
    text += "chunk: " + libinstall::toHex(digest.data(), digest.size()) + "\n";
  }
  return text;
}

}  // namespace fuzz
