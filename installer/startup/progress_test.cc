#include "startup/progress.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>

#include "pty_session.h"

namespace {

void sleepSeconds(double seconds) {
  timespec left{static_cast<time_t>(seconds),
                static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
  while (nanosleep(&left, &left) != 0) {
    // The ticker's alarm interrupts the sleep; sleep on for the rest.
  }
}

std::string runStep(const char* message, double seconds) {
  auto session = PtySession::startFunction([=] {
    startProgress(message);
    sleepSeconds(seconds);
    endProgress();
    fflush(stdout);
    sleepSeconds(1.5);  // the pending alarm must not print after the line
    return 0;
  });
  EXPECT_EQ(session->wait(seconds + 10), 0);
  return session->output();
}

TEST(ProgressTicker, StepOfThreeAndAHalfSecondsPrintsThreeDots) {
  EXPECT_EQ(runStep("Formatting disk...", 3.5), "Formatting disk......\n");
}

TEST(ProgressTicker, ShortStepPrintsNoDotAndEmptyMessageWorks) {
  EXPECT_EQ(runStep("", 0.3), "\n");
  EXPECT_EQ(runStep("100%", 0.3), "100%\n") << "a message is text, never a format";
}

}  // namespace
