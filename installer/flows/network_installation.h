#pragma once
#include <cstddef>

#include "hardware/drive_info.h"

// Network mode: drivers, packages and scripts from an installation server.
// Prints every line of the mode but those of the parts it calls, and stops
// at the first failure after one line that says what failed. True once the
// software is installed and the closing wait has ended.
bool runNetworkInstallation(DriveInfo& target);

// Room for a file's name as the flow keeps it: 31 characters.
constexpr size_t kNetworkFileNameSize = 32;
// Room for the path a script is written to.
constexpr size_t kScriptPathSize = 80;

// Whether a file from the server is a configuration script (a name longer
// than ".scr" that ends in ".scr") rather than a software package.
bool isConfigurationScript(const char* name);

// Where a script goes: "/mnt/<name>", or "/empty" when `mark` is 0 (the
// server sends it without wanting it in the new system). False when the path
// does not fit `capacity`.
[[nodiscard]] bool scriptPath(const char* name, int mark, char* path, size_t capacity);
