#pragma once
// What the server tells systemd when it runs as a service, without a library:
// readiness is one datagram to $NOTIFY_SOCKET, and the journal reads a
// priority from a "<N>" at the start of each line of a stream it owns
// ($JOURNAL_STREAM names that stream's device and inode).

#include <string>

// Syslog priorities, as the journal reads them.
enum class LogPriority { error = 3, warning = 4, notice = 5, info = 6 };

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...") to the service
// manager. True when sent or when there is none to tell (no NOTIFY_SOCKET);
// false with the reason in `error`.
[[nodiscard]] bool notifyServiceManager(const std::string& state, std::string& error);

// Whether standard output is the journal's stream, so that lines carry a
// priority prefix.
bool standardOutputIsJournal();

// "<6>" for LogPriority::info.
std::string journalPrefix(LogPriority priority);
