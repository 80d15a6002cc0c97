#pragma once
// The bdl command line:
//   bdl pack --name N [--version V] [--description D] [--depends a,b] DIR OUT.bdl
//   bdl info FILE | bdl list FILE | bdl verify FILE
// Results go to `out`, messages ("bdl: ...") to `err`. --help and --version
// are answered before (cli/command_line.h).

#include <iosfwd>

#include "cli/command_line.h"

namespace bdl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = cli::kExitUsage;

extern const cli::Program kProgram;

int runBdl(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace bdl
