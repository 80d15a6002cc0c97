// bdl: makes and inspects package files.
#include <iostream>

#include "commands.h"

int main(int argc, char** argv) {
  if (cli::answerStandardOption(bdl::kProgram, argc, argv)) return 0;
  return bdl::runBdl(argc, argv, std::cout, std::cerr);
}
