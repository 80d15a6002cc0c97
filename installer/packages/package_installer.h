#pragma once
// The package installer child: one short-lived child process per package,
// which installs the package stream it reads from a pipe through the package
// library, inside `root` when that is not null.

#include <cstdio>

// Starts the child and returns the stream that feeds it, or null (another
// piped child is active, or no pipe or fork). The caller writes the package's
// bytes and ends the child with finishCommand(), which yields its status.
FILE* startPackageInstaller(const char* root, bool runningSystem);
