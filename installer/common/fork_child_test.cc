#include "common/fork_child.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "common/retry_io.h"

namespace {

void installerHandler(int) {}

bool isDefault(int signal) {
  struct sigaction current;
  sigaction(signal, nullptr, &current);
  return current.sa_handler == SIG_DFL;
}

TEST(ForkChild, ChildStartsWithDefaultAbortAndTickerDispositions) {
  struct sigaction handler {}, savedInt, savedAlrm;
  handler.sa_handler = installerHandler;
  sigemptyset(&handler.sa_mask);
  sigaction(SIGINT, &handler, &savedInt);
  sigaction(SIGALRM, &handler, &savedAlrm);

  pid_t child = forkChild();
  if (child == 0) {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    bool unblocked = !sigismember(&mask, SIGINT) && !sigismember(&mask, SIGALRM);
    _exit(isDefault(SIGINT) && isDefault(SIGALRM) && unblocked ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(waitForChild(child), 0);

  // The parent keeps its handlers and its signal mask.
  EXPECT_FALSE(isDefault(SIGINT));
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGINT));
  sigaction(SIGINT, &savedInt, nullptr);
  sigaction(SIGALRM, &savedAlrm, nullptr);
}

}  // namespace
