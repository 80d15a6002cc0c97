#pragma once
// The command line of netinstall-server.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "netinstall/net_message.h"

struct ServerOptions {
  // --interface IF, once per installation network: each installer is served
  // on the segment it asked from.
  std::vector<std::string> interfaceNames;
  std::string root;                   // --root DIR: drivers/, packages/, scripts/
  bool keep = false;                  // --keep: clients keep their old configuration
  size_t blockSize = kMaxPayload;     // --block-size N: file bytes per reply, 1 ... 4076
  size_t mostInstallers = 0;          // --most-installers N: sessions at once; 0: the default
  size_t threads = 0;                 // --threads N: threads answering; 0: one per processor
  // What the operator watches.
  bool status = false;                // --status [ADDR:]PORT: the status page
  std::string statusAddress = "127.0.0.1";
  uint16_t statusPort = 0;
  std::string eventsPath;             // --events FILE: JSON Lines, appended
  // The lab's per-machine state (--state DIR): installed machines are not
  // installed again until armed, each installation gets a token, and the
  // installed systems' up reports are checked.
  std::string statePath;
  int64_t upTimeoutSeconds = 600;     // --up-timeout S: done without an up report -> not up
};

// The most --most-installers allows.
constexpr size_t kMostInstallersAllowed = 65536;
// The most --threads allows.
constexpr size_t kMostThreadsAllowed = 64;

// The usage text, ending in a newline.
const char* serverUsage();

// Reads "[ADDR:]PORT" (an IPv4 address, a port 0 ... 65535) into
// `options`. False for anything else.
[[nodiscard]] bool parseStatusAddress(const std::string& text, ServerOptions& options);

// Reads `argv` into `options`. False with the reason in `error` (one line,
// no newline) for an unknown, repeated or incomplete option (--interface may
// be repeated, but not with the same interface), a missing --interface or
// --root, or a block size outside 1 ... 4076.
[[nodiscard]] bool parseServerOptions(int argc, const char* const argv[], ServerOptions& options,
                                      std::string& error);
