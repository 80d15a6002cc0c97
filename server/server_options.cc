#include "server/server_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char* serverUsage() {
  return "usage: netinstall-server --interface IF [--interface IF2 ...] --root DIR [--keep]\n"
         "                         [--block-size N] [--most-installers N] [--threads N]\n"
         "                         [--status [ADDR:]PORT] [--events FILE]\n"
         "                         [--state DIR [--up-timeout S]]\n"
         "  --interface IF   a network interface the installers boot on (one per\n"
         "                   segment; each installer is served on its own)\n"
         "  --root DIR       DIR/drivers/<kernel release>.bdl, DIR/packages/*.bdl,\n"
         "                   DIR/scripts/*.scr, DIR/held-scripts/*.scr\n"
         "  --keep           installers keep the configuration found on their disk\n"
         "  --block-size N   bytes of file data per reply, 1 to 4076 (default 4076)\n"
         "  --most-installers N  installers served at once, 1 to 65536 (default 1024);\n"
         "                   more wait for room\n"
         "  --threads N      threads answering requests, 1 to 64 (default: one per\n"
         "                   processor, at most 8)\n"
         "  --status [ADDR:]PORT  a live status page and /status.json over HTTP on\n"
         "                   ADDR (default 127.0.0.1), port PORT (0: any free port)\n"
         "  --events FILE    append every event to FILE, one JSON object per line\n"
         "  --state DIR      the lab's per-machine state: a machine installed is not\n"
         "                   installed again until armed; installed systems report up\n"
         "  --up-timeout S   seconds after done without an up report: not up (600)\n";
}

namespace {

bool parseCount(const char* text, size_t most, size_t& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long number = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  if (number < 1 || number > most) return false;
  value = number;
  return true;
}

enum class Taken { notOurs, taken, refused };

// The options of what the operator watches, kept apart from the rest.
Taken takeViewOption(int argc, const char* const argv[], int& i, ServerOptions& options,
                     std::string& error) {
  std::string option = argv[i];
  if (option != "--status" && option != "--events") return Taken::notOurs;
  bool already = option == "--status" ? options.status : !options.eventsPath.empty();
  if (already) {
    error = option + " given twice";
    return Taken::refused;
  }
  if (i + 1 >= argc || argv[i + 1][0] == '\0') {
    error = option + " needs a value";
    return Taken::refused;
  }
  std::string value = argv[++i];
  if (option == "--events") {
    options.eventsPath = value;
  } else if (!parseStatusAddress(value, options)) {
    error = "--status needs [ADDR:]PORT (an IPv4 address, a port 0 to 65535), not " + value;
    return Taken::refused;
  }
  return Taken::taken;
}

// The options of the lab's state.
Taken takeLabOption(int argc, const char* const argv[], int& i, ServerOptions& options,
                    bool& timeoutSeen, std::string& error) {
  std::string option = argv[i];
  if (option != "--state" && option != "--up-timeout") return Taken::notOurs;
  if (option == "--state" ? !options.statePath.empty() : timeoutSeen) {
    error = option + " given twice";
    return Taken::refused;
  }
  if (i + 1 >= argc || argv[i + 1][0] == '\0') {
    error = option + " needs a value";
    return Taken::refused;
  }
  const char* value = argv[++i];
  if (option == "--state") {
    options.statePath = value;
    return Taken::taken;
  }
  char* end = nullptr;
  errno = 0;
  long long seconds = strtoll(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || seconds < 1 || seconds > 7 * 24 * 3600) {
    error = "--up-timeout must be a number of seconds from 1 to 604800, not " + std::string(value);
    return Taken::refused;
  }
  timeoutSeen = true;
  options.upTimeoutSeconds = seconds;
  return Taken::taken;
}

}  // namespace

bool parseStatusAddress(const std::string& text, ServerOptions& options) {
  size_t colon = text.rfind(':');
  std::string address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  in_addr parsed;
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long number = strtoul(port.c_str(), nullptr, 10);
  if (number > 65535) return false;
  options.status = true;
  options.statusAddress = address;
  options.statusPort = static_cast<uint16_t>(number);
  return true;
}

bool parseServerOptions(int argc, const char* const argv[], ServerOptions& options,
                        std::string& error) {
  options = ServerOptions();  // what an earlier parse left must not count as given
  bool seenInterface = false, seenRoot = false, seenKeep = false, seenBlock = false;
  bool seenUpTimeout = false;
  bool seenMost = false, seenThreads = false;
  for (int i = 1; i < argc; ++i) {
    Taken view = takeViewOption(argc, argv, i, options, error);
    if (view == Taken::notOurs) view = takeLabOption(argc, argv, i, options, seenUpTimeout, error);
    if (view == Taken::refused) return false;
    if (view == Taken::taken) continue;
    std::string option = argv[i];
    bool takesValue = option == "--interface" || option == "--root" ||
                      option == "--block-size" || option == "--most-installers" ||
                      option == "--threads";
    if (!takesValue && option != "--keep") {
      error = "unknown option " + option;
      return false;
    }
    bool& seen = option == "--interface" ? seenInterface
                 : option == "--root"    ? seenRoot
                 : option == "--keep"    ? seenKeep
                 : option == "--block-size" ? seenBlock
                 : option == "--threads" ? seenThreads
                                         : seenMost;
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
    } else if (option == "--most-installers") {
      if (!parseCount(value, kMostInstallersAllowed, options.mostInstallers)) {
        error = "--most-installers must be a number from 1 to 65536, not " + std::string(value);
        return false;
      }
    } else if (option == "--threads") {
      if (!parseCount(value, kMostThreadsAllowed, options.threads)) {
        error = "--threads must be a number from 1 to 64, not " + std::string(value);
        return false;
      }
    } else if (!parseCount(value, kMaxPayload, options.blockSize)) {
      error = "--block-size must be a number from 1 to 4076, not " + std::string(value);
      return false;
    }
  }
  if (!seenInterface || !seenRoot) {
    error = !seenInterface ? "--interface is required" : "--root is required";
    return false;
  }
  if (seenUpTimeout && options.statePath.empty()) {
    error = "--up-timeout needs --state";
    return false;
  }
  return true;
}
