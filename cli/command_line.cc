#include "cli/command_line.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool answerStandardOption(const Program& program, int argc, const char* const argv[]) {
  if (argc < 2) return false;
  if (strcmp(argv[1], "--help") == 0) {
    fputs(program.usage, stdout);
    return true;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("%s %s\n", program.name, KORVANEL_VERSION);
    return true;
  }
  return false;
}

std::string usageErrorText(const Program& program, const std::string& problem) {
  return std::string(program.name) + ": " + problem + "\n" + program.usage;
}

int usageError(const Program& program, const std::string& problem) {
  fputs(usageErrorText(program, problem).c_str(), stderr);
  return kExitUsage;
}

}  // namespace cli
