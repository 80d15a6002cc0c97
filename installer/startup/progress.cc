#include "startup/progress.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

void startProgress(const char* message) {
  // Messages are plain texts; printing them as text rather than as a format
  // keeps a stray "%" harmless.
  fputs(message, stdout);
  fflush(stdout);
  armProgressTick();
}

void endProgress() {
  // The ticker ends before the line does: an alarm expiring between the two
  // would put its dot after the newline.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &ignore, nullptr);
  puts("");
}

void armProgressTick() {
  struct sigaction tick {};
  tick.sa_handler = onProgressTick;
  sigemptyset(&tick.sa_mask);
  tick.sa_flags = SA_RESTART;
  if (sigaction(SIGALRM, &tick, nullptr) == 0) alarm(1);
}

void onProgressTick(int) {
  // Only async-signal-safe calls here: a raw write, sigaction and alarm. The
  // interrupted code may be about to look at errno, so it is kept.
  int savedErrno = errno;
  (void)!write(1, ".", 1);
  armProgressTick();
  errno = savedErrno;
}
