#pragma once
// Helpers shared by the disk tests: whole files, and the random trees that the snapshot tests capture
// and compare.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "output_capture.h"     // captureStdout, captureStderr
#include "scratch_directory.h"

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);

// Runs `body` in a forked child and returns the child's exit code (or 128 +
// the signal). For tests that need process-wide limits (RLIMIT_FSIZE).
int runInChild(const std::function<int()>& body);

// One entry of a tree as the snapshot sees it (symbolic links followed).
struct TreeEntry {
  char type;  // 'd' directory, 'f' regular file, '?' anything else
  mode_t mode;
  uid_t uid;
  gid_t gid;
  uint64_t size;
  int64_t accessNanoseconds;  // since the epoch
  int64_t modifyNanoseconds;
  uint64_t contentHash;

  bool operator==(const TreeEntry& other) const;
};
using TreeDescription = std::map<std::string, TreeEntry>;  // by path below the top

// Walks `top` following symbolic links, without changing any access time.
// The top itself is described under "".
TreeDescription describeTree(const std::string& top);

// Explains the first differences between two descriptions ("" if equal).
std::string treeDifferences(const TreeDescription& expected, const TreeDescription& actual);

// Fills the new directory `top` with a random tree: set-user-ID,
// set-group-ID and sticky modes, many owners, empty files and files over
// 16000 bytes, a deep chain of directories, symbolic links to files and to
// directories, and varied times (access times in the near future, so that
// reading the files does not move them). Returns the number of entries.
int buildRandomTree(const std::string& top, uint32_t seed, int files);
