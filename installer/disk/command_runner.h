#pragma once
// Runs the system's tools as children of the installation process: with a
// pipe into the tool's standard input, with a pipe from its standard output,
// or to completion (optionally inside a changed root). What a tool prints for
// nobody in particular goes to the log console (logConsolePath).
//
// Results are raw wait statuses (0: exited with code 0; exit code x 256;
// the signal number for a killed tool; 127 x 256 when the program could not
// be run) or -1 when the installer could not start or wait.

#include <sys/types.h>

#include <cstdio>

// The one child connected by a pipe, or -1. Shared with the package installer.
extern pid_t activeChildPid;

// Entries of an argument vector: the program itself, then at most 14
// arguments and the terminating null.
constexpr int kArgumentVectorSize = 16;

// Starts `program` with the null-terminated arguments and returns a stream
// into its standard input, or null (busy slot, no pipe, no fork). The marker
// ">null" among the arguments is not passed on: it sends the tool's output
// and errors to the log console.
FILE* startWithInput(const char* program, ...) __attribute__((sentinel));

// Starts `program` and returns a stream of its standard output, or null. Its
// input is /dev/null, its errors go to the log console.
FILE* startWithOutput(const char* program, ...) __attribute__((sentinel));

// Closes the stream of the active piped child and reaps the child. Returns its
// raw wait status; -1 when no child is active (the stream is left alone), when
// the stream did not close cleanly (the child is reaped all the same) or when
// the wait failed.
int finishCommand(FILE* stream);

// Runs `program` to completion with input from /dev/null and output on the
// log console, inside `root` when it is not null.
int runCommand(const char* root, const char* program, ...) __attribute__((sentinel));
int runCommandArgv(const char* root, const char* program, char* const argv[]);

// Opens the log console write-only, falling back to /dev/null: a tool must
// never find its standard output closed, or the next file it opens (a disk,
// say) would receive what it prints. Returns the descriptor or -1.
int openLogConsole();
