#include "package_signing.h"

#include <memory>
#include <sstream>

#include "archive_writer.h"
#include "gzip_stream.h"
#include "hex_text.h"
#include "package_limits.h"

namespace libinstall {

bool hashChunks(ByteSource& proper, uint32_t chunkSize, uint64_t* length,
                std::vector<Digest>* chunks, std::string* error) {
  std::unique_ptr<char[]> chunk(new char[chunkSize]);
  *length = 0;
  chunks->clear();
  for (;;) {
    size_t filled = 0;
    while (filled < chunkSize) {
      long n = proper.read(chunk.get() + filled, chunkSize - filled);
      if (n < 0) {
        *error = proper.error();
        return false;
      }
      if (n == 0) break;
      filled += static_cast<size_t>(n);
    }
    if (filled == 0) return true;
    if (chunks->size() == kMaxChunks) {
      *error = "package too large for its chunk size";
      return false;
    }
    chunks->push_back(sha256(chunk.get(), filled));
    *length += filled;
    if (filled < chunkSize) return true;
  }
}

std::string signatureText(const SignatureHead& head, const std::vector<Digest>& chunks,
                          const SecretKey& key) {
  std::string text = std::string(kSignatureFormatLine) + "\nkey: " +
                     toHex(head.signer.bytes.data(), head.signer.bytes.size()) +
                     "\nchunk-size: " + std::to_string(head.chunkSize) +
                     "\nlength: " + std::to_string(head.length) + "\n";
  for (const Digest& digest : chunks) text += "chunk: " + toHex(digest.data(), digest.size()) + "\n";
  crypto_sign_ed25519ph_state state;
  crypto_sign_ed25519ph_init(&state);
  crypto_sign_ed25519ph_update(&state, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  std::array<unsigned char, crypto_sign_BYTES> signature;
  std::array<unsigned char, 64> secret = key.signingKey();
  crypto_sign_ed25519ph_final_create(&state, signature.data(), nullptr, secret.data());
  sodium_memzero(secret.data(), secret.size());
  return text + "signature: " + toHex(signature.data(), signature.size()) + "\n";
}

bool signatureMember(const std::string& text, std::string* member, std::string* error) {
  std::ostringstream out;
  GzipWriter gzip(out, /*level=*/9);
  ArchiveWriter writer(gzip);
  Member header;
  header.path = kSignatureMember;
  header.mode = 0644;
  header.size = text.size();
  // No end marker: the package proper's members follow in the next gzip member.
  if (!writer.beginMember(header) || !writer.writeData(text.data(), text.size()) ||
      !writer.endMember()) {
    *error = writer.error();
    return false;
  }
  if (!gzip.finish()) {
    *error = gzip.error();
    return false;
  }
  *member = out.str();
  return true;
}

}  // namespace libinstall
