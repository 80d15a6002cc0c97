#include "netinstall/clock.h"

#include <sys/time.h>

int64_t nowUsec() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

timeval timevalFromUsec(int64_t usec) {
  timeval value;
  value.tv_sec = static_cast<time_t>(usec / 1000000);
  value.tv_usec = static_cast<suseconds_t>(usec % 1000000);
  return value;
}
