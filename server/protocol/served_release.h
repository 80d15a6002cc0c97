#pragma once
// The release list of a server root (DIR/release.lst, bdl release): sent
// first to every installer, before the driver package and before the
// packages, and checked against the root when the server starts, so that a
// stale list is caught before any machine boots.

#include <string>

#include "server/protocol/install_tree.h"

constexpr const char* kServedReleaseName = "release.lst";

// DIR/release.lst as the file sent first, when the root holds one.
[[nodiscard]] bool findServedRelease(const std::string& root, ServedFile& file);

// Without a list: true, and `summary` says installers with a package key
// will refuse the root. With one: its signature must hold (by the key it
// names), and every machine's files must be the entries that machine takes
// (checkMachinesAgainstRelease: a root without an inventory serves every
// machine alike). True with `summary` naming the release; false with the
// first difference in `error`.
[[nodiscard]] bool checkServedRelease(const std::string& root, std::string& summary,
                                      std::string& error);
