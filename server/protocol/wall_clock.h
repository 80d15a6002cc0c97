#pragma once
// The wall clock in milliseconds since 1970: what the lab's state records
// and the operator reads (durations use the monotonic clock).

#include <cstdint>

int64_t epochMillisNow();
