#pragma once
// Runs one package through the installer child, as the installation flows do,
// and reports its time, exit status and peak memory. For the benchmarks only.

#include <string>

struct ChildRun {
  double seconds = 0;
  int status = -1;   // the installer child's raw wait status
  long peakKiB = 0;  // its peak resident memory
};

// Seconds on a monotonic clock.
double benchNow();

// Feeds the package file `package` to an installer child for `root` in
// blocks of `feedBlock` bytes, from a process of its own, so that the only
// child whose peak memory that process sees is the installer child. With a
// `keyFile`, that process loads it as the installer does: the child takes
// only packages signed with the key. With a `releaseList` too (signed with
// that key), that process checks the package's size and SHA-256 against its
// entry as the bytes pass, as the installation flows do; a package that does
// not match ends with status -2.
ChildRun installThroughChild(const std::string& package, const std::string& root,
                             size_t feedBlock = 4096, const std::string& keyFile = "",
                             const std::string& releaseList = "");
