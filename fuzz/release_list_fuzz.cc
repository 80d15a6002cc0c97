// A release list as an installer takes it from its medium or from any
// server that answers first. The first byte chooses the input: 0 and the
// list as it is (the signature holds only by chance), or 1 and a list's text
// without its signature line, which the target signs with a fixed key (its
// "key:" line, when it has one where the format puts it, made that key's),
// so that mutations reach every line the parser reads. What it accepts must
// keep the format's promises and read back the same from its own writing.

#include <sodium.h>

#include <libinstall/release_list.h>

#include <set>
#include <string>

#include "fuzz_check.h"
#include "hex_text.h"
#include "release_text.h"
#include "signing_keys.h"

namespace {
libinstall::SecretKey key;

std::string signBody(std::string body) {
  size_t line = body.find('\n');
  if (line != std::string::npos && body.compare(line + 1, 5, "key: ") == 0) {
    size_t end = body.find('\n', line + 1);
    body.replace(line + 6, (end == std::string::npos ? body.size() : end) - line - 6,
                 libinstall::toHex(key.publicKey().bytes.data(), PackageKey::kSize));
  }
  unsigned char signature[crypto_sign_BYTES];
  std::array<unsigned char, 64> secret = key.signingKey();
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                       body.size(), secret.data());
  return body + "signature: " + libinstall::toHex(signature, sizeof signature) + "\n";
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FUZZ_CHECK(libinstall::startCrypto());
  unsigned char seed[32] = {7};
  unsigned char publicKey[32];
  unsigned char secret[64];
  FUZZ_CHECK(crypto_sign_seed_keypair(publicKey, secret, seed) == 0);
  std::string text = "format: bdl-secret-key 1\nkey: " + libinstall::toHex(publicKey, 32) +
                     "\nseed: " + libinstall::toHex(seed, 32) + "\n";
  std::string error;
  FUZZ_CHECK(key.parse(text, &error));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] == 1) text = signBody(text);
  ReleaseList list;
  std::string error;
  if (!list.parse(text, &key.publicKey(), &error)) {
    FUZZ_CHECK(list.files.empty() && !error.empty());
    return 0;
  }
  FUZZ_CHECK(list.signer == key.publicKey());
  FUZZ_CHECK(list.expires >= list.created);
  FUZZ_CHECK(list.files.size() <= kMaxReleaseFiles);
  std::set<std::string> names;
  for (const ReleaseFile& file : list.files) {
    FUZZ_CHECK(isReleaseFileName(file.name));
    FUZZ_CHECK(names.insert(file.name).second);
    FUZZ_CHECK(list.find(file.name) == &file);
  }
  ReleaseList again;
  FUZZ_CHECK(again.parse(libinstall::releaseListText(list, key), &key.publicKey(), &error));
  FUZZ_CHECK(again.number == list.number && again.created == list.created &&
             again.expires == list.expires && again.product == list.product &&
             again.files.size() == list.files.size());
  for (size_t i = 0; i < list.files.size(); ++i) {
    FUZZ_CHECK(again.files[i].name == list.files[i].name &&
               again.files[i].kind == list.files[i].kind &&
               again.files[i].size == list.files[i].size &&
               again.files[i].sha256 == list.files[i].sha256);
  }
  return 0;
}
