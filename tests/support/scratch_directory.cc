#include "scratch_directory.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

ScratchDirectory::ScratchDirectory() {
  const char* base = getenv("KORVANEL_SCRATCH");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/test.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) abort();
  path_ = buffer.data();
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
