#pragma once
// The public half of a package signing key (Ed25519): whoever holds the
// secret half can sign packages that an installation given this key accepts.
// `bdl keygen KEYFILE` writes it to KEYFILE.pub.

#include <array>
#include <cstddef>
#include <string>

class PackageKey {
 public:
  static constexpr size_t kSize = 32;

  // Reads the text of a public key file. False, with *error saying why, for
  // anything else; the key is then unchanged.
  bool parse(const std::string& text, std::string* error);

  // Reads and parses the public key file at `path`. False with *error
  // naming the path; errno is then ENOENT when there is no such file, 0 when
  // the file holds no public key.
  bool load(const std::string& path, std::string* error);

  // The text of a public key file for this key.
  std::string text() const;

  // Sixteen hex digits (the key's first eight bytes) that name it in
  // messages. Only the whole key decides whether a signature is accepted.
  std::string id() const;

  bool operator==(const PackageKey& other) const { return bytes == other.bytes; }
  bool operator!=(const PackageKey& other) const { return bytes != other.bytes; }

  std::array<unsigned char, kSize> bytes{};
};
