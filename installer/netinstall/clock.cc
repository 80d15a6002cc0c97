#include "netinstall/clock.h"

#include <sys/time.h>

int64_t nowUsec() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}
