#include "release_text.h"

#include <sodium.h>

#include "hex_text.h"

namespace libinstall {

std::string releaseListText(const ReleaseList& list, const SecretKey& key) {
  const PackageKey& signer = key.publicKey();
  std::string text = std::string(kReleaseFormatLine) + "\nkey: " +
                     toHex(signer.bytes.data(), signer.bytes.size()) +
                     "\nproduct: " + list.product + "\nrelease: " + std::to_string(list.number) +
                     "\ncreated: " + std::to_string(list.created) +
                     "\nexpires: " + std::to_string(list.expires) + "\n";
  for (const ReleaseFile& file : list.files) {
    text += std::string("file: ") + releaseFileKindName(file.kind) + " " +
            std::to_string(file.size) + " " + toHex(file.sha256.data(), file.sha256.size()) +
            " " + file.name + (file.machine.empty() ? "" : " " + file.machine) + "\n";
  }
  std::array<unsigned char, crypto_sign_BYTES> signature;
  std::array<unsigned char, 64> secret = key.signingKey();
  crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), secret.data());
  sodium_memzero(secret.data(), secret.size());
  return text + "signature: " + toHex(signature.data(), signature.size()) + "\n";
}

}  // namespace libinstall
