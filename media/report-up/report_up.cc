// report-up: started once by the installed system's init at its first start,
// it tells the server that installed the system that the system is up (see
// up_report.h). The token file is removed first, so the report goes out at
// the first start only, and every interface is left as it was found: the
// router's own configuration takes them over afterwards.

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "netinstall/interface_scan.h"
#include "up_report.h"

namespace {

const cli::Program kProgram = {
    "report-up",
    "usage: report-up [--tries N] TOKENFILE\n"
    "Reports this system's first start to the server that installed it, with\n"
    "the installation's token from TOKENFILE (removed once read), on every\n"
    "network interface; tries N times (default 5) and then gives up quietly.\n"};

constexpr int kDefaultTries = 5;
constexpr int kFirstWaitMillis = 1000;
constexpr int kLongestWaitMillis = 8000;

int64_t monotonicMicros() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool readTokenFile(const char* path, std::string& text) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  char buffer[kLongestUpTokenFile + 1];
  size_t length = fread(buffer, 1, sizeof buffer, file);
  fclose(file);
  if (length > kLongestUpTokenFile) return false;
  text.assign(buffer, length);
  return true;
}

// The flags of every listed interface, to be put back at the end.
std::vector<std::pair<std::string, short>> savedFlags() {
  std::vector<std::pair<std::string, short>> saved;
  FILE* list = fopen("/proc/net/dev", "r");
  if (list == nullptr) return saved;
  std::vector<std::string> names = readInterfaceNames(list);
  fclose(list);
  int query = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (query < 0) return saved;
  for (const std::string& name : names) {
    ifreq request{};
    strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(query, SIOCGIFFLAGS, &request) == 0) saved.emplace_back(name, request.ifr_flags);
  }
  close(query);
  return saved;
}

void restoreFlags(const std::vector<std::pair<std::string, short>>& saved) {
  int query = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (query < 0) return;
  for (const auto& [name, flags] : saved) {
    ifreq request{};
    strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_flags = flags;
    (void)ioctl(query, SIOCSIFFLAGS, &request);  // an interface gone meanwhile: nothing to undo
  }
  close(query);
}

bool report(const UpToken& token, EndpointList& endpoints, int tries) {
  NetMessage message, reply;
  int waitMillis = kFirstWaitMillis;
  for (int attempt = 1; attempt <= tries; ++attempt) {
    uint16_t sequence = static_cast<uint16_t>(attempt);
    for (auto& endpoint : endpoints) {
      size_t length = composeUpReport(token, endpoint->mac, sequence, message);
      (void)endpoint->send(message.bytes, length);  // a lost report is sent again
    }
    // Each interface its share of the wait; other stations' traffic does
    // not stretch it.
    int64_t share = static_cast<int64_t>(waitMillis) * 1000 / static_cast<int64_t>(endpoints.size());
    for (auto& endpoint : endpoints) {
      int64_t deadline = monotonicMicros() + share;
      for (int64_t left = share; left > 0; left = deadline - monotonicMicros()) {
        long length = endpoint->receiveWithin(reply, left);
        if (length < 0) break;
        if (isUpConfirmation(reply, static_cast<size_t>(length), token, endpoint->mac, sequence)) {
          return true;
        }
      }
    }
    waitMillis = waitMillis * 2 > kLongestWaitMillis ? kLongestWaitMillis : waitMillis * 2;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  int tries = kDefaultTries;
  int index = 1;
  if (index < argc && strcmp(argv[index], "--tries") == 0) {
    if (index + 1 >= argc) return cli::usageError(kProgram, "--tries needs a number");
    char* end = nullptr;
    long value = strtol(argv[index + 1], &end, 10);
    if (*argv[index + 1] == '\0' || *end != '\0' || value < 1 || value > 100) {
      return cli::usageError(kProgram, "--tries needs a number from 1 to 100");
    }
    tries = static_cast<int>(value);
    index += 2;
  }
  if (index < argc && argv[index][0] == '-') {
    return cli::usageError(kProgram, std::string("unknown option ") + argv[index]);
  }
  if (argc - index != 1) return cli::usageError(kProgram, "one token file expected");
  const char* path = argv[index];
  std::string text;
  bool read = readTokenFile(path, text);
  (void)unlink(path);  // the first start only, whatever happens next
  UpToken token;
  if (!read || !parseUpToken(text, token)) {
    fprintf(stderr, "report-up: %s holds no installation token\n", path);
    return 1;
  }
  std::vector<std::pair<std::string, short>> saved = savedFlags();
  EndpointList endpoints = scanInterfaces();
  bool confirmed = !endpoints.empty() && report(token, endpoints, tries);
  endpoints.clear();
  restoreFlags(saved);
  if (!confirmed) {
    fprintf(stderr, "report-up: no server confirmed this first start (%d tries)\n", tries);
    return 1;
  }
  printf("report-up: the installation server knows this system is up\n");
  return 0;
}
