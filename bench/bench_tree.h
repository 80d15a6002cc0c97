#pragma once
// Deterministic trees of mixed files for the package benchmarks: text that
// compresses like source and documentation, random data that does not,
// runs of zeros, many small files, links. The same seed gives the same tree.

#include <cstdint>
#include <string>

struct TreeStats {
  uint64_t bytes = 0;
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t links = 0;
};

// Fills `directory` (which must exist) with about `targetBytes` of mixed
// files. False when a file could not be written.
bool makeMixedTree(const std::string& directory, uint64_t targetBytes, uint32_t seed,
                   TreeStats* stats);
