#pragma once
// Runs a piece of code with standard output (descriptor 1 and the stdout
// stream) redirected into a buffer, and returns the bytes it wrote.

#include <functional>
#include <string>

std::string captureStdout(const std::function<void()>& body);
// The same for standard error (descriptor 2 and the stderr stream).
std::string captureStderr(const std::function<void()>& body);

// Runs `command` through /bin/sh and returns its standard output; its exit
// code goes to *status (-1 when it did not exit normally).
std::string shell(const std::string& command, int* status = nullptr);

// Runs `body` with standard input reading `input` from a file (so input ends
// right after it) and returns what it wrote to standard output.
std::string runWithInput(const std::string& input, const std::function<void()>& body);
