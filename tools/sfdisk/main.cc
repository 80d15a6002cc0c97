// The cylinder-unit partitioning tool, installed as /sbin/sfdisk on boot
// media: the classic command lines the installer runs, nothing more.
#include <cstdio>
#include <string>

#include "cli/command_line.h"
#include "commands.h"
#include "options.h"

namespace {

const cli::Program kProgram = {
    "sfdisk",
    "usage: sfdisk -g [DEVICE...]                  geometry of the named or of all disks\n"
    "       sfdisk -d [-uC] DEVICE                 dump of the partition table\n"
    "       sfdisk [-q] [-uC] [-H HEADS] [-S SECTORS] DEVICE < lines\n"
    "                                              write a new table (cylinder units)\n"};

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) return cli::usageError(kProgram, error);
  switch (options.command) {
    case Options::Command::Geometry:
      return runGeometry(options);
    case Options::Command::Dump:
      return runDump(options);
    case Options::Command::Write:
      return runWrite(options, stdin);
  }
  return 1;
}
