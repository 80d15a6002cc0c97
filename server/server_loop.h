#pragma once
// The server's whole run: checks, the socket, then serving every installer
// that asks until SIGINT or SIGTERM.

#include "server/server_options.h"

// Returns the exit status: 0 after a stop by signal, 1 when the server
// cannot start or cannot go on serving (the reason printed on standard
// error).
int runServer(const ServerOptions& options);
