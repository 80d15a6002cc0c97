#include "output_capture.h"

#include <sys/wait.h>
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

// What `body` wrote to descriptor `fd`, which `stream` writes to.
std::string captureDescriptor(int fd, FILE* stream, const std::function<void()>& body) {
  fflush(stream);
  char path[] = "/tmp/capture.XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  int saved = dup(fd);
  dup2(file, fd);
  body();
  fflush(stream);
  dup2(saved, fd);
  close(saved);
  std::string text = readWhole(file);
  close(file);
  return text;
}
}  // namespace

std::string captureStdout(const std::function<void()>& body) { return captureDescriptor(1, stdout, body); }

std::string captureStderr(const std::function<void()>& body) { return captureDescriptor(2, stderr, body); }

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

std::string shell(const std::string& command, int* status) {
  std::string output;
  fflush(nullptr);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int raw = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}
