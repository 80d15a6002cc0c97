#include "common/retry_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void ignoreTick(int) {}

// Delivers SIGALRM every 10 ms through a handler without SA_RESTART, so that
// blocking calls really fail with EINTR.
class InterruptingTimer {
 public:
  InterruptingTimer() {
    struct sigaction action {};
    action.sa_handler = ignoreTick;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &saved_);
    itimerval every{{0, 10000}, {0, 10000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~InterruptingTimer() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved_, nullptr);
  }

 private:
  struct sigaction saved_;
};

TEST(RetryIo, WaitSurvivesInterruptionsAndReturnsRawStatus) {
  pid_t child = fork();
  if (child == 0) {
    usleep(200000);
    _exit(3);
  }
  InterruptingTimer timer;
  EXPECT_EQ(waitForChild(child), 3 << 8);
  EXPECT_EQ(waitForChild(child), -1) << "nothing left to wait for";
}

TEST(RetryIo, ReadSurvivesInterruptions) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    usleep(200000);
    (void)!write(fds[1], "x", 1);
    _exit(0);
  }
  char c = 0;
  {
    InterruptingTimer timer;
    EXPECT_EQ(readRetrying(fds[0], &c, 1), 1);
  }
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(waitForChild(child), 0);
  close(fds[0]);
  close(fds[1]);
}

TEST(RetryIo, WriteAllDeliversLargeBlocksThroughAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data(1 << 20, 'q');
  pid_t child = fork();
  if (child == 0) {
    close(fds[1]);
    size_t total = 0;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) total += static_cast<size_t>(n);
    _exit(total == (1u << 20) ? 0 : 1);
  }
  close(fds[0]);
  {
    InterruptingTimer timer;
    EXPECT_TRUE(writeAll(fds[1], data.data(), data.size()));
  }
  close(fds[1]);
  EXPECT_EQ(waitForChild(child), 0);
}

}  // namespace
