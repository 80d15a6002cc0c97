// bdl: makes and inspects package files.
#include <iostream>

#include "commands.h"

int main(int argc, char** argv) { return bdl::runBdl(argc, argv, std::cout, std::cerr); }
