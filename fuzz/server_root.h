#pragma once
// A server root for the server's fuzz target and for the seeds recorded
// from a whole exchange: a driver package for kDriverRelease, two packages
// (one needing the other) and a script, in a temporary directory.

#include <string>

constexpr const char* kDriverRelease = "6.1.0-test-686";

// The root's path; aborts when it cannot be made.
std::string makeServerRoot();
void removeServerRoot(const std::string& root);
