#pragma once
// The machine board as text for a terminal: the live table that replaces
// the scrolling log when standard output is a terminal, and the summary
// printed when the server stops. What machines sent is made printable
// (control bytes and non-ASCII become '?') and cut to its column, so it can
// neither move the cursor nor break the table.

#include <deque>
#include <string>

#include "server/view/machine_board.h"

// "12.3 MB" (10^6 bytes), "850 B".
std::string byteText(uint64_t bytes);
// "1h 02m 03s", "2m 05s", "7s".
std::string durationText(int64_t millis);

// The whole screen (`columns` by `rows`), drawn from the top left over what
// was there: the totals, a row per machine (as many as fit) and the newest
// of `recentLines` below.
std::string renderLiveTable(const BoardSnapshot& snapshot, int columns, int rows,
                            const std::deque<std::string>& recentLines);

// Lines ending in newlines: the totals, then each machine with its result
// and how long it took.
std::string renderSummary(const BoardSnapshot& snapshot);
