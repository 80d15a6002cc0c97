#pragma once
// The server's log: one line per event, beginning with the local time and,
// for an installer's event, its hardware address.

#include <cstdint>
#include <string>

// Formats one line (without its newline).
std::string formatLogLine(int64_t epochSeconds, const uint8_t* client, const std::string& text);

// Milliseconds since 1970 as UTC in ISO 8601 ("2025-03-01T10:15:02.250Z").
std::string isoTime(int64_t epochMillis);
