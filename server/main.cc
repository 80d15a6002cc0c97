// netinstall-server: serves drivers, packages and configuration scripts to
// Korvanel installers booted from the network.

#include <cstdio>
#include <cstring>
#include <string>

#include "server/server_loop.h"
#include "server/server_options.h"

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(serverUsage(), stdout);
    return 0;
  }
  ServerOptions options;
  std::string error;
  if (!parseServerOptions(argc, argv, options, error)) {
    fprintf(stderr, "netinstall-server: %s\n%s", error.c_str(), serverUsage());
    return 2;
  }
  return runServer(options);
}
