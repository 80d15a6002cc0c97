#pragma once
// Delivers the client's current file (see InstallClient::nextFile) into a
// local file or into a package installer child. Each prints one FATAL ERROR
// line when it fails; the caller then ends the installation.

#include <cstddef>
#include <string>

#include "netinstall/install_client.h"

class ReleasedFileCheck;

// The file's bytes into `path`, created or truncated (mode 0666 less the
// umask). True once every byte is written and the file is closed. With
// `release` (begun for this file) the bytes are checked as they pass; a file
// that does not match is removed again.
[[nodiscard]] bool receiveToFile(InstallClient& client, const char* path,
                                 ReleasedFileCheck* release = nullptr);

// The whole file into `text` when it holds at most `limit` bytes. Prints
// the line and returns false for a larger file or a lost server.
[[nodiscard]] bool receiveToMemory(InstallClient& client, size_t limit, std::string* text);

// The file's bytes into a new package installer child: rooted at
// `installRoot` (null: none), installing into the new system when
// `intoTarget`, else into the running installer. True once every byte has
// reached the child and it reported the package installed. A package the
// library refused fails like a write into the child that fails: the library
// has printed why, and "\nFATAL ERROR: could not install <file>" follows,
// naming the file as the server sent it.
// With `release` (begun for this file) the bytes are checked as they pass,
// and a package that does not match is cancelled before the child can
// complete it.
[[nodiscard]] bool receiveToInstaller(InstallClient& client, const char* installRoot,
                                      bool intoTarget, ReleasedFileCheck* release = nullptr);

// `name` as it may be shown on the console: bytes outside printable ASCII
// become '?', so a server's bytes never reach the terminal as control
// sequences.
void printableName(const char* name, char (&shown)[kFileNameSize]);
