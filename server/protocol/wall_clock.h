#pragma once
// The server's clocks. The wall clock in milliseconds since 1970: what the
// lab's state records and the operator reads. Durations and time-outs use
// the monotonic clock, which no change of the date moves.

#include <cstdint>

int64_t epochMillisNow();
int64_t monotonicSeconds();
int64_t monotonicMillis();
