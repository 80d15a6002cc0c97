#include "signing_keys.h"

#include <sodium.h>

#include "hex_text.h"

namespace libinstall {
namespace {
constexpr const char* kSecretFormat = "bdl-secret-key 1";
}  // namespace

bool startCrypto() { return sodium_init() >= 0; }

bool SecretKey::generate() {
  if (!startCrypto()) return false;
  randombytes_buf(seed_.data(), seed_.size());
  return derive();
}

bool SecretKey::derive() {
  std::array<unsigned char, 64> secret;
  if (!startCrypto() ||
      crypto_sign_seed_keypair(public_.bytes.data(), secret.data(), seed_.data()) != 0) {
    return false;
  }
  sodium_memzero(secret.data(), secret.size());
  return true;
}

bool SecretKey::parse(const std::string& text, std::string* error) {
  static const char* const kNames[] = {"format", "key", "seed"};
  std::string values[3];
  PackageKey claimed;
  if (!readKeyLines(text, kNames, 3, values) || values[0] != kSecretFormat ||
      !fromHex(values[1], claimed.bytes.data(), claimed.bytes.size()) ||
      !fromHex(values[2], seed_.data(), seed_.size())) {
    *error = "not a secret key file (bdl keygen writes them)";
    return false;
  }
  if (!derive() || public_ != claimed) {
    *error = "damaged secret key file (its seed does not give its public key)";
    return false;
  }
  return true;
}

std::string SecretKey::text() const {
  return std::string("format: ") + kSecretFormat + "\nkey: " +
         toHex(public_.bytes.data(), public_.bytes.size()) +
         "\nseed: " + toHex(seed_.data(), seed_.size()) + "\n";
}

std::array<unsigned char, 64> SecretKey::signingKey() const {
  std::array<unsigned char, 64> key;
  std::copy(seed_.begin(), seed_.end(), key.begin());
  std::copy(public_.bytes.begin(), public_.bytes.end(), key.begin() + kSeedSize);
  return key;
}

}  // namespace libinstall

