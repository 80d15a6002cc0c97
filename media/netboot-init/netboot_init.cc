// netboot-init: the first program of a network installation medium.
//
// The installer's own module lists hold disk, file-system and USB drivers
// only, and in network mode the disk drivers come from the server; but to
// reach the server the network card must already work. This program runs as
// /init, loads the modules named in /etc/netboot-modules (the network card
// drivers, and floppy.ko for the disk-label floppy) from
// /lib/modules/<release>/, and then becomes the installer: it executes
// /bin/installer with its own arguments unchanged, so the installer's
// argv[0] is still "/init" and the installer starts as init.
//
// A module that cannot be read is reported on the console in the
// installer's words ("ERROR: could not load module ..."); one the kernel
// refuses (no such card in this machine, already loaded) is passed over.
// A missing list loads nothing. If the installer cannot be started, the
// reason stays on the console and the machine waits: as process 1 this
// program must not end.
//
// Anywhere but as process 1 it only answers --help and --version and
// otherwise refuses to start: it would load modules into the kernel of the
// machine it runs on.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "hardware/module_loader.h"
#include "module_list.h"

namespace {
constexpr cli::Program kProgram = {
    "netboot-init",
    "usage: netboot-init [INSTALLER ARGUMENTS...]\n"
    "  The first program of a network boot medium, started by the kernel as /init:\n"
    "  loads the modules listed in /etc/netboot-modules, then runs /bin/installer\n"
    "  with the same arguments. It runs only as process 1.\n"};
constexpr const char* kModuleList = "/etc/netboot-modules";
constexpr const char* kInstaller = "/bin/installer";

// The whole list file; empty when there is none.
std::string readListFile() {
  std::string text;
  FILE* file = fopen(kModuleList, "r");
  if (file == nullptr) return text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  fclose(file);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  if (getpid() != 1) return cli::usageError(kProgram, "runs only as process 1 (init)");
  std::vector<std::string> entries = parseModuleList(readListFile());
  std::vector<const char*> list;
  for (const std::string& entry : entries) list.push_back(entry.c_str());
  list.push_back(nullptr);
  loadModules(list.data());
  fflush(stdout);

  execv(kInstaller, argv);
  printf("netboot-init: cannot start %s: %s\n", kInstaller, strerror(errno));
  fflush(stdout);
  for (;;) pause();
}
