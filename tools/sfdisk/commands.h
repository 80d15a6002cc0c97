#pragma once
// The tool's three commands. Each prints its result on standard output and
// its complaints on standard error ("sfdisk: ..."), and returns the exit
// status: 0 done, 1 failed.

#include <cstdio>

#include "options.h"

// One geometry line per device (all whole disks of /proc/partitions when
// none is named). A device that cannot be examined is reported and skipped.
int runGeometry(const Options& options);

// The dump of the one device's partition table.
int runDump(const Options& options);

// Reads the whole of `input`, checks it against the disk and only then writes
// the new table and makes the kernel see it. Bad input writes nothing.
int runWrite(const Options& options, FILE* input);
