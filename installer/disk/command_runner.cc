#include "disk/command_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "common/fork_child.h"
#include "common/retry_io.h"
#include "startup/process_state.h"

pid_t activeChildPid = -1;

namespace {

constexpr int kExecFailed = 127;
constexpr const char* kQuietMarker = ">null";

struct ArgumentVector {
  char* entries[kArgumentVectorSize] = {};
  bool quiet = false;
};

// Entry 0 is the program; the caller's arguments follow up to and including
// the terminating null, stopping after the last entry.
ArgumentVector buildArguments(const char* program, va_list args, bool takeQuietMarker) {
  ArgumentVector vector;
  vector.entries[0] = const_cast<char*>(program);
  int next = 1;
  while (next < kArgumentVectorSize) {
    const char* arg = va_arg(args, const char*);
    if (arg != nullptr && takeQuietMarker && strcmp(arg, kQuietMarker) == 0) {
      vector.quiet = true;
      continue;
    }
    vector.entries[next++] = const_cast<char*>(arg);
    if (arg == nullptr) break;
  }
  vector.entries[kArgumentVectorSize - 1] = nullptr;
  return vector;
}

[[noreturn]] void execOrDie(const char* program, char* const argv[]) {
  execv(program, argv);
  _exit(kExecFailed);
}

// Closes both ends of a pipe that may lie above the range children close.
void closePipe(int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

int openLogConsole() {
  // O_NOCTTY: a console opened for a tool must not become anybody's
  // controlling terminal. O_APPEND: where the log is a file, each tool adds
  // to what the tools before it wrote.
  int fd = open(logConsolePath, O_WRONLY | O_NOCTTY | O_APPEND);
  if (fd < 0) fd = open("/dev/null", O_WRONLY);
  return fd;
}

FILE* startWithInput(const char* program, ...) {
  va_list args;
  va_start(args, program);
  ArgumentVector vector = buildArguments(program, args, /*takeQuietMarker=*/true);
  va_end(args);

  if (activeChildPid != -1) return nullptr;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  pid_t pid = forkChild();
  if (pid < 0) {
    closePipe(fds);
    return nullptr;
  }
  if (pid == 0) {
    dup2(fds[0], 0);
    if (vector.quiet) {
      int log = openLogConsole();
      dup2(log, 1);
      dup2(log, 2);
    }
    closeDescriptorsUpTo15(3);
    execOrDie(program, vector.entries);
  }
  close(fds[0]);
  FILE* stream = fdopen(fds[1], "w");
  if (stream == nullptr) {
    // The child must see the end of its input and must not outlive us.
    close(fds[1]);
    (void)waitForChild(pid);
    return nullptr;
  }
  activeChildPid = pid;
  return stream;
}

FILE* startWithOutput(const char* program, ...) {
  if (activeChildPid != -1) return nullptr;
  va_list args;
  va_start(args, program);
  ArgumentVector vector = buildArguments(program, args, /*takeQuietMarker=*/false);
  va_end(args);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  FILE* stream = fdopen(fds[0], "r");
  if (stream == nullptr) {
    closePipe(fds);
    return nullptr;
  }
  pid_t pid = forkChild();
  if (pid < 0) {
    fclose(stream);
    close(fds[1]);
    return nullptr;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    int input = open("/dev/null", O_RDONLY);
    dup2(input, 0);
    int log = openLogConsole();
    dup2(log, 2);
    closeDescriptorsUpTo15(3);
    execOrDie(program, vector.entries);
  }
  close(fds[1]);
  activeChildPid = pid;
  return stream;
}

int finishCommand(FILE* stream) {
  if (activeChildPid == -1) return -1;
  pid_t pid = activeChildPid;
  activeChildPid = -1;
  bool closed = fclose(stream) == 0;
  // Reaped even when the close failed (a tool that stopped reading leaves
  // buffered bytes unwritten), so no child is ever left behind.
  int status = waitForChild(pid);
  return closed ? status : -1;
}

int runCommandArgv(const char* root, const char* program, char* const argv[]) {
  pid_t pid = forkChild();
  if (pid < 0) return -1;
  if (pid == 0) {
    closeDescriptorsUpTo15(0);
    (void)open("/dev/null", O_RDONLY);  // becomes descriptor 0
    (void)openLogConsole();             // 1
    (void)dup(1);                       // 2
    // A changed root without a changed directory leaves the tool's working
    // directory outside its root: a way out of it, and a shell in the new
    // system that cannot name where it stands.
    if (root != nullptr && (chroot(root) != 0 || chdir("/") != 0)) _exit(kExecFailed);
    execOrDie(program, argv);
  }
  return waitForChild(pid);
}

int runCommand(const char* root, const char* program, ...) {
  va_list args;
  va_start(args, program);
  ArgumentVector vector = buildArguments(program, args, /*takeQuietMarker=*/false);
  va_end(args);
  return runCommandArgv(root, program, vector.entries);
}
