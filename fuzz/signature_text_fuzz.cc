// The signature text that opens a signed package, taken as text: the target
// puts it into its gzip member in front of a small package and reads the
// file as the installer's menu does (the head) and as bdl verify does (every
// chunk). A first byte that is odd has the rest signed with the fixed fuzz
// key, so that texts naming that key get past the signature to the chunk
// counts and digests; an even one leaves the text as it is.

#include <libinstall/package_info.h>

#include <sstream>

#include "inspect.h"
#include "memory_file.h"
#include "package_head_check.h"
#include "text_container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file("signed-package");
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) text = fuzz::signWithFixedKey(text);
  const std::string& path = file.hold(fuzz::signedPackage(text, fuzz::bodyPackage()));

  PackageFile head;
  bool headRead = head.readFrom(path);
  if (headRead) fuzz::checkAcceptedHead(head);
  std::ostringstream summary;
  std::string error;
  bool verified = bdl::verifyPackage(path, nullptr, summary, &error);
  // Whatever passes every check must pass the lighter one.
  FUZZ_CHECK(!verified || headRead);
  return 0;
}
