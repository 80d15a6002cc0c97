#include "output_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
std::string readWhole(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}
}  // namespace

std::string captureStdout(const std::function<void()>& body) {
  fflush(stdout);
  char path[] = "/tmp/capture.XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  int saved = dup(1);
  dup2(file, 1);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text = readWhole(file);
  close(file);
  return text;
}

std::string runWithInput(const std::string& input, const std::function<void()>& body) {
  char path[] = "/tmp/input.XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  (void)!write(file, input.data(), input.size());
  lseek(file, 0, SEEK_SET);
  int saved = dup(0);
  dup2(file, 0);
  close(file);
  std::string output = captureStdout(body);
  dup2(saved, 0);
  close(saved);
  return output;
}
