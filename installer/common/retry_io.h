#pragma once
// The installer's one place for the EINTR rule: every read, write and wait on
// a pipe, a console or a child goes through these helpers, which repeat a call
// that a signal (the progress ticker's SIGALRM, SIGINT once the run has
// finished) interrupted.

#include <sys/types.h>

#include <cstddef>

// read(2), repeated while interrupted. Returns what read returned otherwise.
[[nodiscard]] ssize_t readRetrying(int fd, void* buffer, size_t size);

// Reads exactly `size` bytes, repeating interrupted and partial reads.
// Returns false on an error or when the data ends first.
[[nodiscard]] bool readAll(int fd, void* buffer, size_t size);

// Writes all `size` bytes, repeating interrupted and partial writes.
// Returns true when every byte was written.
[[nodiscard]] bool writeAll(int fd, const void* data, size_t size);

// waitpid(2) without options, repeated while interrupted.
// Returns the raw wait status, or -1 when the wait failed for another reason.
[[nodiscard]] int waitForChild(pid_t pid);

// Closes descriptors from `first` to 15 inclusive. Children of the installer
// call it so that they inherit none of its files, sockets or pipes.
void closeDescriptorsUpTo15(int first);
