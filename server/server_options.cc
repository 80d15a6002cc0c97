#include "server/server_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char* serverUsage() {
  return "usage: netinstall-server --interface IF [--interface IF2 ...] --root DIR [--keep]\n"
         "                         [--block-size N]\n"
         "  --interface IF   a network interface the installers boot on (one per\n"
         "                   segment; each installer is served on its own)\n"
         "  --root DIR       DIR/drivers/<kernel release>.bdl, DIR/packages/*.bdl,\n"
         "                   DIR/scripts/*.scr, DIR/held-scripts/*.scr\n"
         "  --keep           installers keep the configuration found on their disk\n"
         "  --block-size N   bytes of file data per reply, 1 to 4076 (default 4076)\n";
}

namespace {

bool parseBlockSize(const char* text, size_t& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long number = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  if (number < 1 || number > kMaxPayload) return false;
  value = number;
  return true;
}

}  // namespace

bool parseServerOptions(int argc, const char* const argv[], ServerOptions& options,
                        std::string& error) {
  bool seenInterface = false, seenRoot = false, seenKeep = false, seenBlock = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    bool takesValue = option == "--interface" || option == "--root" || option == "--block-size";
    if (!takesValue && option != "--keep") {
      error = "unknown option " + option;
      return false;
    }
    bool& seen = option == "--interface" ? seenInterface
                 : option == "--root"    ? seenRoot
                 : option == "--keep"    ? seenKeep
                                         : seenBlock;
    if (seen && option != "--interface") {
      error = option + " given twice";
      return false;
    }
    seen = true;
    if (!takesValue) {
      options.keep = true;
      continue;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      error = option + " needs a value";
      return false;
    }
    const char* value = argv[++i];
    if (option == "--interface") {
      for (const std::string& name : options.interfaceNames) {
        if (name == value) {
          error = "--interface " + name + " given twice";
          return false;
        }
      }
      options.interfaceNames.push_back(value);
    } else if (option == "--root") {
      options.root = value;
    } else if (!parseBlockSize(value, options.blockSize)) {
      error = "--block-size must be a number from 1 to 4076, not " + std::string(value);
      return false;
    }
  }
  if (!seenInterface || !seenRoot) {
    error = !seenInterface ? "--interface is required" : "--root is required";
    return false;
  }
  return true;
}
