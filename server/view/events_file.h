#pragma once
// --events FILE: every event as one JSON object per line (JSON Lines), for
// scripts and log shippers. Each line is appended with one write, so it
// reaches the file whole and at once, even with other writers appending.

#include <cstdint>
#include <string>

#include "server/protocol/server_event.h"

// One line (without its newline): {"time": ..., "machine": ..., "event":
// ..., then the event's fields}. "machine" is null for the server's own.
std::string eventJsonLine(int64_t epochMillis, const uint8_t* client, const ServerEvent& event);

class EventsFile {
 public:
  EventsFile() = default;
  EventsFile(const EventsFile&) = delete;
  EventsFile& operator=(const EventsFile&) = delete;
  ~EventsFile();

  // Opens `path` for appending (created with mode 0644). False with errno.
  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  // Appends the line of `event`. False when it could not be written whole
  // (errno set); the next line is tried again.
  bool append(int64_t epochMillis, const uint8_t* client, const ServerEvent& event);

 private:
  int fd_ = -1;
};
