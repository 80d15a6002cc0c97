#include "common/fork_child.h"

#include <unistd.h>

#include <csignal>

pid_t forkChild() {
  sigset_t handled, saved;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGALRM);
  sigprocmask(SIG_BLOCK, &handled, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGALRM, SIG_DFL);
  }
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}
