#include "netinstall/clock.h"

#include <time.h>

int64_t nowUsec() {
  // Deadlines only ever compare two readings. A clock that counts from boot
  // never jumps when the date is set, and unlike the date it can still be
  // read on the 32-bit build after 2038: a wall clock that could not be read
  // would leave every deadline in the future and a wait without a reply
  // would never end.
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

timeval timevalFromUsec(int64_t usec) {
  timeval value;
  value.tv_sec = static_cast<time_t>(usec / 1000000);
  value.tv_usec = static_cast<suseconds_t>(usec % 1000000);
  return value;
}
