#pragma once
// The network installation's traffic from the installer's side, without the
// disk: what the tests of whole transfers run against the real server.

#include <string>

#include "netinstall/install_client.h"

// Opens `client` in the current namespace with `timing`, then: the driver
// package into directory/drivers.bdl (when `drivers`), discovery, start,
// every file into directory/<name>, and the closing wait (ended by "TERM";
// standard input must not be readable). The discovery carries `label`.
// Returns "" on success, otherwise what failed and what the client printed.
std::string fetchEverything(InstallClient& client, const ClientTiming& timing,
                            const std::string& directory, bool drivers,
                            const char* label = "test-lab");
