#pragma once
// Package signing keys as files: the public half (libinstall/package_key.h)
// and the secret half that `bdl sign` uses, which holds the public one too.
//
//   public key file                 secret key file (mode 0600)
//   format: bdl-public-key 1        format: bdl-secret-key 1
//   key: <64 hex digits>            key: <64 hex digits>
//                                   seed: <64 hex digits>

#include <array>
#include <string>

#include "libinstall/package_key.h"

namespace libinstall {

constexpr const char* kPublicKeyFormat = "bdl-public-key 1";
// Key files are a few lines; anything much larger is no key file.
constexpr size_t kMaxKeyFileSize = 4096;

// libsodium must be started before keys are made (its random source); false
// when it cannot be. Checking signatures and digests needs no start: the
// installer, which only checks, links no more of libsodium than that.
bool startCrypto();

class SecretKey {
 public:
  static constexpr size_t kSeedSize = 32;

  // A new key pair from the system's random source. False when none is
  // available.
  bool generate();

  // Reads the text of a secret key file. False with *error for anything
  // else, also when the public key it names does not belong to the seed.
  bool parse(const std::string& text, std::string* error);
  std::string text() const;

  const PackageKey& publicKey() const { return public_; }
  // The 64-byte key that signing takes (seed, then public key).
  std::array<unsigned char, 64> signingKey() const;

 private:
  bool derive();

  std::array<unsigned char, kSeedSize> seed_{};
  PackageKey public_;
};

// Splits a key file's text into lines, each "name: value", in the given
// order; a last newline is optional. False when the text holds anything else.
bool readKeyLines(const std::string& text, const char* const names[], size_t count,
                  std::string values[]);

}  // namespace libinstall
