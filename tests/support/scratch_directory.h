#pragma once
// A fresh directory for one test, removed with everything in it when the
// object goes. It lies in the sandbox's scratch directory when the test runs
// in one ($KORVANEL_SCRATCH: loop devices on images there are detached even
// if the test dies), else in /tmp.

#include <string>

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
