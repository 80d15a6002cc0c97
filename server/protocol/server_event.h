#pragma once
// One thing that happened on the server, as every view of it needs it: the
// log line's words, and the event's name and fields for the events file and
// the machine board. An installer's event is reported together with its
// hardware address; the server's own events have none.

#include <nlohmann/json.hpp>

#include <string>

struct ServerEvent {
  std::string name;  // "found", "sending", "done", ...: docs/network-installation.md
  std::string text;  // the words of the log line
  nlohmann::json fields = nlohmann::json::object();
};

inline ServerEvent serverEvent(std::string name, std::string text,
                               nlohmann::json fields = nlohmann::json::object()) {
  return ServerEvent{std::move(name), std::move(text), std::move(fields)};
}
