// netinstall-server: serves drivers, packages and configuration scripts to
// Korvanel installers booted from the network.

#include <string>

#include "cli/command_line.h"
#include "server/server_loop.h"
#include "server/server_options.h"

int main(int argc, char** argv) {
  const cli::Program program = {"netinstall-server", serverUsage()};
  if (cli::answerStandardOption(program, argc, argv)) return 0;
  ServerOptions options;
  std::string error;
  if (!parseServerOptions(argc, argv, options, error)) return cli::usageError(program, error);
  return runServer(options);
}
