// Key files: the operator's public key that the installer reads from its
// boot medium, and the secret key bdl sign reads. A key accepted once must
// be written back as a text that reads as the same key.

#include <libinstall/package_key.h>

#include "memory_file.h"
#include "signing_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file("key-file");
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  PackageKey key;
  if (key.load(file.hold(text), &error)) {
    PackageKey again;
    FUZZ_CHECK(again.parse(key.text(), &error) && again == key);
  }
  libinstall::SecretKey secret;
  if (secret.parse(text, &error)) {
    libinstall::SecretKey again;
    FUZZ_CHECK(again.parse(secret.text(), &error) &&
               again.publicKey() == secret.publicKey());
  }
  return 0;
}
