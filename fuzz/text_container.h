#pragma once
// The containers around the package library's text formats, so that their
// targets can take the text itself: a mutation of the text then reaches the
// parser as a new field value, where a mutation of the compressed package
// almost never would. Shared by the targets and fuzz_seeds (their seeds).

#include <string>

namespace fuzz {

// A small unsigned package (metadata and one file), as bdl packs one: what
// a signature text's chunks cover.
const std::string& bodyPackage();

// The gzip member holding one tar member named .bdlsig with `text`, then
// `body`: a signed package whose signature text is `text`.
std::string signedPackage(const std::string& text, const std::string& body);

// `text` followed by its signature line, made with the fixed key whose
// public half fixedPublicKeyHex() gives. Fuzz inputs that name that key in
// their key line get past the signature to the chunks.
std::string signWithFixedKey(const std::string& text);
std::string fixedPublicKeyHex();

// A signature text for `body` as bdl sign writes it, with the fixed key and
// chunks of `chunkSize` bytes, without its signature line.
std::string unsignedSignatureText(const std::string& body, unsigned chunkSize);

// A package whose metadata member holds `text`, followed by one file.
std::string metadataPackage(const std::string& text);

}  // namespace fuzz
