#pragma once
// The command-line conventions every program we ship follows (README.md,
// "Command lines"):
//   PROGRAM --help      the usage on standard output; exit status 0
//   PROGRAM --version   "PROGRAM VERSION" on standard output; exit status 0
//   a usage error       "PROGRAM: PROBLEM" and the usage on standard error;
//                       exit status 2
// --help and --version are answered as the first argument only: later on a
// command line they may be a program's own words ("bdl pack --version 2.4");
// elsewhere each program's parser treats them like any other argument.

#include <string>

namespace cli {

constexpr int kExitUsage = 2;

struct Program {
  const char* name;   // as the user types it: "bdl"
  const char* usage;  // begins "usage: NAME", ends in a newline
};

// When the first argument is --help or --version, prints the answer on
// standard output and returns true: the program then exits 0.
[[nodiscard]] bool answerStandardOption(const Program& program, int argc,
                                        const char* const argv[]);

// "NAME: PROBLEM\n" followed by the usage.
std::string usageErrorText(const Program& program, const std::string& problem);

// Prints usageErrorText on standard error; returns kExitUsage.
int usageError(const Program& program, const std::string& problem);

}  // namespace cli
