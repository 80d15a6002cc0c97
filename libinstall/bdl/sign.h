#pragma once
// Package signing keys and signatures: bdl keygen and bdl sign.

#include <iosfwd>
#include <string>


namespace bdl {

// Makes a key pair: the secret key in `keyFile` (mode 0600), the public key
// in `keyFile`.pub, neither of which may exist yet. Writes one line naming
// the key to `out`. False with *error; then neither file is left.
bool generateKeys(const std::string& keyFile, std::ostream& out, std::string* error);

// Signs the package file `path` in place with the secret key in `keyFile`,
// replacing any signature it had. The package is checked first as bdl
// verify checks it; the file is replaced only by a complete signed copy.
// False with *error, the file unchanged.
bool signPackage(const std::string& keyFile, const std::string& path, std::string* error);

}  // namespace bdl
