#include "child_run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "disk/command_runner.h"
#include "packages/package_installer.h"
#include "packages/package_key_file.h"

double benchNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ChildRun installThroughChild(const std::string& package, const std::string& root,
                             size_t feedBlock, const std::string& keyFile) {
  int report[2];
  if (pipe(report) != 0) return {};
  double start = benchNow();
  pid_t feeder = fork();
  if (feeder == 0) {
    close(report[0]);
    long result[2] = {-1, 0};
    if (!keyFile.empty()) (void)loadPackageKey(keyFile.c_str());  // a bad key shows as status 1
    int fd = open(package.c_str(), O_RDONLY);
    FILE* stream = fd < 0 ? nullptr : startPackageInstaller(root.c_str(), false);
    if (stream != nullptr) {
      std::vector<char> block(feedBlock);
      ssize_t n;
      while ((n = read(fd, block.data(), block.size())) > 0) {
        if (fwrite(block.data(), static_cast<size_t>(n), 1, stream) != 1) break;
      }
      result[0] = finishCommand(stream);
      rusage usage;
      getrusage(RUSAGE_CHILDREN, &usage);
      result[1] = usage.ru_maxrss;
    }
    (void)!write(report[1], result, sizeof result);
    _exit(0);
  }
  close(report[1]);
  long result[2] = {-1, 0};
  (void)!read(report[0], result, sizeof result);
  close(report[0]);
  waitpid(feeder, nullptr, 0);
  ChildRun run;
  run.seconds = benchNow() - start;
  run.status = static_cast<int>(result[0]);
  run.peakKiB = result[1];
  return run;
}
