// The installer's entry point. Started as init (any argv[0] containing
// "init"), it splits into an init process that only waits and the
// installation process that does the work.
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "startup/init_process.h"
#include "startup/installation_process.h"

int main(int argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr && strstr(argv[0], "init") != nullptr) {
    pid_t child = fork();
    if (child > 0) superviseInstallation(child);
    // A failed fork leaves this process to do the work itself.
  }
  return runInstallationProcess(argc, argv);
}
