#pragma once
// The bdl command line:
//   bdl pack --name N [--version V] [--description D] [--depends a,b] DIR OUT.bdl
//   bdl info FILE | bdl list FILE | bdl verify [--pubkey PUBFILE] FILE
//   bdl verify --pubkey PUBFILE --release LIST [FILE...]
//   bdl keygen KEYFILE | bdl sign --key KEYFILE FILE
//   bdl release --key KEYFILE --number N [--expires DAYS] [--product P] [--driver FILE]... OUT FILE...
//   bdl extract FILE DIR
// Results go to `out`, messages ("bdl: ...") to `err`. --help and --version
// are answered before (cli/command_line.h).

#include <iosfwd>

#include "cli/command_line.h"

namespace bdl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // also: extract refused the package
constexpr int kExitUsage = cli::kExitUsage;
// extract could not use DIR (no such directory, no package database): the
// package installer child's code for the same failure.
constexpr int kExitNoRoot = 2;

extern const cli::Program kProgram;

int runBdl(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace bdl
