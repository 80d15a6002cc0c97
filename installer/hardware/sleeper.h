#pragma once
// Waiting, behind a seam: drive detection waits a second between scans, up to
// twenty times, and its tests must not.

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  // Returns after `seconds`, however many signals arrive meanwhile.
  virtual void sleepSeconds(unsigned seconds) = 0;
};

// The real clock. The progress ticker's SIGALRM interrupts every sleep; this
// one sleeps on for what is left.
Sleeper& systemSleeper();
