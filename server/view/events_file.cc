#include "server/view/events_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/retry_io.h"
#include "netinstall/mac_address.h"
#include "server/view/event_log.h"

std::string eventJsonLine(int64_t epochMillis, const uint8_t* client, const ServerEvent& event) {
  nlohmann::json line = {{"time", isoTime(epochMillis)}, {"machine", nullptr},
                         {"event", event.name}};
  if (client != nullptr) {
    char mac[kMacTextSize];
    formatMacAddressInto(client, mac);
    line["machine"] = mac;
  }
  line["text"] = event.text;
  for (const auto& [key, value] : event.fields.items()) {
    if (!line.contains(key)) line[key] = value;
  }
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

EventsFile::~EventsFile() {
  if (fd_ >= 0) close(fd_);
}

bool EventsFile::open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool EventsFile::append(int64_t epochMillis, const uint8_t* client, const ServerEvent& event) {
  std::string line = eventJsonLine(epochMillis, client, event) + "\n";
  return writeAll(fd_, line.data(), line.size());
}
