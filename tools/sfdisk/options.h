#pragma once
// The command lines the tool accepts (those of the classic sfdisk that the
// installer runs, plus geometry overrides for building images):
//   sfdisk -g [DEVICE...]          geometry of the named or of all whole disks
//   sfdisk -d [-uC] DEVICE         dump of the partition table
//   sfdisk [-q] [-uC] DEVICE       write a new table read from standard input
// -H HEADS and -S SECTORS replace the kernel's geometry. Cylinders are the
// only unit: -uS, -uB and -uM are refused.

#include <cstdint>
#include <string>
#include <vector>

struct Options {
  enum class Command { Geometry, Dump, Write } command = Command::Write;
  bool quiet = false;
  uint32_t heads = 0;            // 0: the kernel's (or the default)
  uint32_t sectorsPerTrack = 0;  // 0: the kernel's (or the default)
  std::vector<std::string> devices;
};

// Parses argv. False with a one-line `error` for anything not listed above.
[[nodiscard]] bool parseOptions(int argc, char** argv, Options& options, std::string& error);
