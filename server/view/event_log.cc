#include "server/view/event_log.h"

#include <cstdio>
#include <ctime>

#include "netinstall/mac_address.h"

std::string formatLogLine(int64_t epochSeconds, const uint8_t* client, const std::string& text) {
  time_t when = static_cast<time_t>(epochSeconds);
  struct tm local;
  char stamp[32] = "";
  if (localtime_r(&when, &local) != nullptr) {
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  }
  std::string line = stamp;
  if (client != nullptr) {
    char mac[kMacTextSize];
    formatMacAddressInto(client, mac);
    line += " ";
    line += mac;
  }
  return line + " " + text;
}

std::string isoTime(int64_t epochMillis) {
  time_t when = static_cast<time_t>(epochMillis / 1000);
  struct tm utc;
  char stamp[48] = "";
  if (gmtime_r(&when, &utc) != nullptr) {
    size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(stamp + length, sizeof stamp - length, ".%03dZ",
             static_cast<int>(epochMillis % 1000));
  }
  return stamp;
}
