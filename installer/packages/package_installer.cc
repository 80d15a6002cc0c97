#include "packages/package_installer.h"

#include <fcntl.h>
#include <libinstall/repo.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "common/fork_child.h"
#include "common/retry_io.h"
#include "disk/command_runner.h"
#include "packages/package_key_file.h"

namespace {
// Package streams are installed with this flag: a package replaces files an
// earlier package installed.
constexpr unsigned int kInstallFlags = Repo::kReplaceFiles;

[[noreturn]] void runChild(int input, int output, const char* root, bool runningSystem) {
  // forkChild() has put the abort handler and the progress ticker back to
  // their defaults: the abort path runs in the installation process only.
  dup2(input, 0);
  // The pipe's ends may lie above the range closed below; the write end must
  // go, or the child would never see the end of its input.
  if (input > 15) close(input);
  if (output > 15) close(output);
  closeDescriptorsUpTo15(3);
  // The normal exit path: what the child buffered is flushed.
  exit(runPackageInstaller(root, runningSystem));
}
}  // namespace

FILE* startPackageInstaller(const char* root, bool runningSystem) {
  if (activeChildPid != -1) return nullptr;
  static bool noted = false;
  if (packageTrust() == PackageTrust::Unverified && !noted) {
    puts("Packages are not verified: the boot medium carries no package key.");
    noted = true;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  // The child flushes its buffers on exit; they must not hold our output.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = forkChild();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  if (pid == 0) runChild(fds[0], fds[1], root, runningSystem);
  close(fds[0]);
  FILE* stream = fdopen(fds[1], "w");
  if (stream == nullptr) {
    // The child sees the end of its input, fails on the empty package and is
    // reaped here: it must not wait for input forever.
    close(fds[1]);
    (void)waitForChild(pid);  // its status means nothing without a package
    return nullptr;
  }
  activeChildPid = pid;
  return stream;
}

void cancelPackageInstaller(FILE* stream) {
  if (activeChildPid > 0) (void)kill(activeChildPid, SIGKILL);
  (void)finishCommand(stream);  // killed: its status says only that
}

int runPackageInstaller(const char* root, bool runningSystem) {
  // Installing anywhere but the intended root would write the package into
  // the installer's own file system: a failed change of root ends the child.
  if (root != nullptr && chroot(root) != 0) {
    std::cerr << "install: cannot enter " << root << ": " << strerror(errno) << std::endl;
    return kPackageNoRoot;
  }
  if (chdir("/") != 0) {
    std::cerr << "install: cannot enter /: " << strerror(errno) << std::endl;
    return kPackageNoRoot;
  }
  Repo* repo = Repo::getRepo();
  if (!repo->init(runningSystem)) {
    std::cerr << "install: cannot prepare the package database /var/pdb" << std::endl;
    return kPackageNoRoot;
  }
  if (packageTrust() == PackageTrust::BrokenKey) {
    std::cerr << "install: no usable package key: " << packageKeyProblem() << std::endl;
    return kPackageRefused;
  }
  if (packageTrust() == PackageTrust::Verified) repo->requireSigner(packageKey());
  // Whatever the installer's own reading left in the stream state belongs to
  // the console, not to this package.
  std::cin.clear();
  std::map<std::string, bool> installed;
  return repo->installFrom(std::cin, kInstallFlags, installed) ? kPackageInstalled
                                                                 : kPackageRefused;
}
