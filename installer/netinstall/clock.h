#pragma once
// The protocol's clock: microseconds since the epoch (seconds x 1,000,000 +
// microseconds), or 0 when the clock cannot be read. Deadlines of the
// request/reply waits are measured on it.

#include <sys/time.h>

#include <cstdint>

int64_t nowUsec();

// `usec` microseconds as seconds and microseconds, for select's limits.
timeval timevalFromUsec(int64_t usec);
