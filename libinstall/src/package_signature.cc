#include "package_signature.h"

#include "hex_text.h"
#include "package_limits.h"
#include "text_fields.h"

namespace libinstall {
namespace {

// The longest line a signature member holds (the signature line).
constexpr size_t kMaxLine = 160;

bool isChunkSize(uint64_t size) {
  return size >= kMinChunkSize && size <= kMaxChunkSize && (size & (size - 1)) == 0;
}

}  // namespace

uint64_t chunkCount(uint64_t length, uint32_t chunkSize) {
  return length / chunkSize + (length % chunkSize != 0 ? 1 : 0);
}

uint32_t chooseChunkSize(uint64_t length) {
  for (uint32_t size = kDefaultChunkSize; size <= kMaxChunkSize; size *= 2) {
    if (chunkCount(length, size) <= kMaxChunks) return size;
  }
  return 0;
}

SignatureReader::SignatureReader() { crypto_sign_ed25519ph_init(&state_); }

bool SignatureReader::feed(const char* data, size_t size, std::string* error) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') {
      if (line_.size() == kMaxLine) {
        *error = "damaged signature (overlong line)";
        return false;
      }
      line_ += data[i];
      continue;
    }
    if (!takeLine(line_, error)) return false;
    line_.clear();
  }
  return true;
}

bool SignatureReader::takeLine(const std::string& line, std::string* error) {
  std::string value;
  uint64_t number = 0;
  bool ok = false;
  switch (expect_) {
    case Expect::Format:
      ok = line == kSignatureFormatLine;
      expect_ = Expect::Key;
      break;
    case Expect::Key:
      ok = valueAfter(line, "key", &value) &&
           fromHex(value, head_.signer.bytes.data(), head_.signer.bytes.size());
      expect_ = Expect::ChunkSize;
      break;
    case Expect::ChunkSize:
      ok = valueAfter(line, "chunk-size", &value) && parseCanonicalDecimal(value, &number) &&
           isChunkSize(number);
      head_.chunkSize = static_cast<uint32_t>(number);
      expect_ = Expect::Length;
      break;
    case Expect::Length:
      ok = valueAfter(line, "length", &value) && parseCanonicalDecimal(value, &number) && number > 0 &&
           chunkCount(number, head_.chunkSize) <= kMaxChunks;
      head_.length = number;
      expect_ = Expect::Chunk;
      // The count comes from the package: room for it only once it has
      // passed the limit, or a forged length asks for gigabytes.
      if (!ok) break;
      expectedChunks_ = chunkCount(number, head_.chunkSize);
      chunks_.reserve(static_cast<size_t>(expectedChunks_));
      break;
    case Expect::Chunk: {
      Digest digest;
      ok = valueAfter(line, "chunk", &value) && fromHex(value, digest.data(), digest.size());
      if (!ok) break;
      chunks_.push_back(digest);
      if (chunks_.size() == expectedChunks_) expect_ = Expect::Signature;
      break;
    }
    case Expect::Signature:
      ok = valueAfter(line, "signature", &value) &&
           fromHex(value, signature_.data(), signature_.size());
      expect_ = Expect::End;
      break;
    case Expect::End:
      break;
  }
  ++lines_;
  if (!ok) {
    *error = "damaged signature (line " + std::to_string(lines_) + ")";
    return false;
  }
  // The signature covers every byte before its own line.
  if (expect_ == Expect::End) return true;
  crypto_sign_ed25519ph_update(&state_, reinterpret_cast<const unsigned char*>(line.data()),
                               line.size());
  crypto_sign_ed25519ph_update(&state_, reinterpret_cast<const unsigned char*>("\n"), 1);
  return true;
}

bool SignatureReader::finish(std::string* error) {
  if (expect_ != Expect::End || !line_.empty()) {
    *error = "damaged signature (cut short)";
    return false;
  }
  if (crypto_sign_ed25519ph_final_verify(&state_, signature_.data(), head_.signer.bytes.data()) !=
      0) {
    *error = "signature does not match (damaged or altered package)";
    return false;
  }
  return true;
}

}  // namespace libinstall
