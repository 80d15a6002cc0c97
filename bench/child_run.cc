#include "child_run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <libinstall/release_list.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "disk/command_runner.h"
#include "packages/package_installer.h"
#include "packages/package_key_file.h"

double benchNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

// The entry of `package` in the list at `listPath`, checked with the key:
// null when it cannot be had.
std::unique_ptr<ReleaseFileCheck> releaseCheck(const std::string& listPath,
                                               const std::string& package, ReleaseList* list) {
  std::string text;
  FILE* file = fopen(listPath.c_str(), "r");
  if (file == nullptr) return nullptr;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);
  std::string error;
  if (!list->parse(text, &packageKey(), &error)) return nullptr;
  const ReleaseFile* entry = list->find(package.substr(package.find_last_of('/') + 1));
  return entry == nullptr ? nullptr : std::make_unique<ReleaseFileCheck>(*entry);
}

}  // namespace

ChildRun installThroughChild(const std::string& package, const std::string& root,
                             size_t feedBlock, const std::string& keyFile,
                             const std::string& releaseList) {
  int report[2];
  if (pipe(report) != 0) return {};
  double start = benchNow();
  pid_t feeder = fork();
  if (feeder == 0) {
    close(report[0]);
    long result[2] = {-1, 0};
    if (!keyFile.empty()) (void)loadPackageKey(keyFile.c_str());  // a bad key shows as status 1
    ReleaseList list;
    std::unique_ptr<ReleaseFileCheck> check;
    if (!releaseList.empty()) check = releaseCheck(releaseList, package, &list);
    int fd = open(package.c_str(), O_RDONLY);
    bool usable = fd >= 0 && (releaseList.empty() || check != nullptr);
    FILE* stream = usable ? startPackageInstaller(root.c_str(), false) : nullptr;
    if (stream != nullptr) {
      std::vector<char> block(feedBlock);
      ssize_t n;
      bool matches = true;
      while ((n = read(fd, block.data(), block.size())) > 0) {
        if (check != nullptr && !check->update(block.data(), static_cast<size_t>(n))) {
          matches = false;
          break;
        }
        if (fwrite(block.data(), static_cast<size_t>(n), 1, stream) != 1) break;
      }
      std::string error;
      if (check != nullptr && matches) matches = check->finish(&error);
      if (matches) {
        result[0] = finishCommand(stream);
      } else {
        cancelPackageInstaller(stream);
        result[0] = -2;
      }
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
