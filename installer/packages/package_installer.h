#pragma once
// The package installer child: one short-lived child process per package,
// which installs the package stream it reads from a pipe through the package
// library, inside `root` when that is not null.
//
// Exit status of the child, as finishCommand() reports it (raw wait status):
//   0                        the package was installed and recorded
//   kPackageRefused (1)      the library refused or could not install the
//                            package (damaged, truncated, unsafe, empty, disk
//                            full; unsigned, signed with another key or
//                            altered where a package key was loaded, or the
//                            key file was unusable); one line says why
//   kPackageNoRoot (2)       the child could not enter `root` or prepare its
//                            package database; nothing was installed
// A child killed by a signal reports the signal as usual. Callers must treat
// every status but 0 as a failed package.

#include <cstdio>

constexpr int kPackageInstalled = 0;
constexpr int kPackageRefused = 1;
constexpr int kPackageNoRoot = 2;

// Starts the child and returns the stream that feeds it, or null (another
// piped child is active, or no pipe or fork). The child follows the package
// key loaded before (packages/package_key_file.h). Nothing is printed, but
// for one line the first time a child starts without a key file:
// "Packages are not verified: the boot medium carries no package key." The caller
// writes the package's bytes and ends the child with finishCommand(), which
// closes the stream and yields the child's status.
FILE* startPackageInstaller(const char* root, bool runningSystem);

// Ends the child started above before it has seen the end of its package
// (SIGKILL, then finishCommand()): a package whose bytes turned out wrong
// after the child took them must not be completed and recorded, which
// closing the stream would allow.
void cancelPackageInstaller(FILE* stream);

// The child's body: enters `root` (when not null) and installs the package
// read from standard input into it. Returns the exit status above. Called in
// the child only: with a null root it installs into the process's own "/".
int runPackageInstaller(const char* root, bool runningSystem);
