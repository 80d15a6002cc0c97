#pragma once
// Making signed packages: the chunk digests of a package proper, and the
// gzip member holding the signature that goes before it.

#include <cstdint>
#include <string>
#include <vector>

#include "byte_stream.h"
#include "package_signature.h"
#include "signing_keys.h"

namespace libinstall {

// Reads `proper` to its end: its length and the SHA-256 of each chunk of
// `chunkSize` bytes. False with *error (a read error, or more chunks than a
// signature may hold).
bool hashChunks(ByteSource& proper, uint32_t chunkSize, uint64_t* length,
                std::vector<Digest>* chunks, std::string* error);

// The whole text of a signature member, signed with `key`.
std::string signatureText(const SignatureHead& head, const std::vector<Digest>& chunks,
                          const SecretKey& key);

// The gzip member holding one tar member, the signature text `text`: what
// goes before the package proper. False with *error.
bool signatureMember(const std::string& text, std::string* member, std::string* error);

}  // namespace libinstall
