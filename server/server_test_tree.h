#pragma once
// A server root directory in a temporary place, removed with the object.

#include <string>

class TestTree {
 public:
  TestTree();
  ~TestTree();
  const std::string& root() const { return root_; }
  // Writes `contents` to root/relativePath, creating the directories.
  void write(const std::string& relativePath, const std::string& contents);
  void makeDirectory(const std::string& relativePath);
  void remove(const std::string& relativePath);

 private:
  std::string root_;
};

// `size` bytes that differ from block to block, so a block sent twice or
// skipped shows in a comparison.
std::string patternBytes(size_t size, unsigned seed);
