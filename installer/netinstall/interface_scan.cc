#include "netinstall/interface_scan.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/bounded_text.h"

namespace {

constexpr int kHeadingLines = 2;
// A raw socket of an unassigned protocol: it sees no traffic and serves only
// the hardware-address queries.
constexpr int kQueryProtocol = 250;

std::string firstWordBeforeColon(const char* line) {
  while (*line != '\0' && isspace(static_cast<unsigned char>(*line))) ++line;
  const char* end = line;
  while (*end != '\0' && *end != ':' && !isspace(static_cast<unsigned char>(*end))) ++end;
  return std::string(line, end);
}

// Owns the query socket for the length of one scan.
class QuerySocket {
 public:
  QuerySocket() : fd_(socket(AF_INET, SOCK_RAW, kQueryProtocol)) {}
  ~QuerySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool valid() const { return fd_ >= 0; }
  bool hardwareAddress(const std::string& name, uint8_t (&mac)[kMacSize]) const {
    ifreq request;
    memset(&request, 0, sizeof request);
    copyCut(request.ifr_name, sizeof request.ifr_name, name.c_str());
    if (ioctl(fd_, SIOCGIFHWADDR, &request) != 0) return false;
    memcpy(mac, request.ifr_hwaddr.sa_data, kMacSize);
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::vector<std::string> readInterfaceNames(FILE* stream) {
  std::vector<std::string> names;
  char* line = nullptr;
  size_t capacity = 0;
  for (int number = 0; getline(&line, &capacity, stream) >= 0; ++number) {
    if (number < kHeadingLines) continue;
    std::string name = firstWordBeforeColon(line);
    if (!name.empty()) names.push_back(name);
  }
  free(line);
  return names;
}

EndpointList scanInterfacesFrom(FILE* stream, const std::vector<std::string>& only) {
  std::vector<std::string> names = readInterfaceNames(stream);
  QuerySocket query;
  if (!query.valid()) return {};
  EndpointList endpoints;
  for (const std::string& name : names) {
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    uint8_t mac[kMacSize];
    // Endpoints opened so far are closed with the list.
    if (!query.hardwareAddress(name, mac)) return {};
    if (isZeroMac(mac)) continue;  // loopback and other links without one
    auto endpoint = std::make_unique<NetEndpoint>();
    memcpy(endpoint->mac, mac, kMacSize);
    if (endpoint->open(name.c_str(), kProtocolPort)) endpoints.push_back(std::move(endpoint));
  }
  std::vector<const uint8_t*> own;
  for (const auto& endpoint : endpoints) own.push_back(endpoint->mac);
  // Without the filter a socket only wakes for more than it needs.
  for (const auto& endpoint : endpoints) (void)endpoint->dropOthersTraffic(own);
  return endpoints;
}

EndpointList scanInterfaces(const std::vector<std::string>& only) {
  FILE* stream = fopen("/proc/net/dev", "r");
  if (stream == nullptr) return {};
  EndpointList endpoints = scanInterfacesFrom(stream, only);
  fclose(stream);
  return endpoints;
}
