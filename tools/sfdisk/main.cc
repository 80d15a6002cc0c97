// The cylinder-unit partitioning tool, installed as /sbin/sfdisk on boot
// media: the classic command lines the installer runs, nothing more.
#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) {
    fprintf(stderr, "sfdisk: %s\n", error.c_str());
    fprintf(stderr, "usage: sfdisk -g [DEVICE...] | sfdisk -d [-uC] DEVICE | "
                    "sfdisk [-q] [-uC] [-H HEADS] [-S SECTORS] DEVICE < lines\n");
    return 1;
  }
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
