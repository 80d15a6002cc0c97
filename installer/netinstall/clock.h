#pragma once
// The protocol's clock: microseconds since the epoch (seconds x 1,000,000 +
// microseconds), or 0 when the clock cannot be read. Deadlines of the
// request/reply waits are measured on it.

#include <cstdint>

int64_t nowUsec();
