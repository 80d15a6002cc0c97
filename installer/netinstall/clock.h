#pragma once
// The protocol's clock: microseconds (seconds x 1,000,000 + microseconds)
// since some fixed moment before the installer started, or 0 when the clock
// cannot be read. Only differences mean anything: the deadlines of the
// request/reply waits are measured on it.

#include <sys/time.h>

#include <cstdint>

int64_t nowUsec();

// `usec` microseconds as seconds and microseconds, for select's limits.
timeval timevalFromUsec(int64_t usec);
