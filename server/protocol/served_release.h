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
// names), every package, script, held script and driver package of the root
// must be listed as such with its size and SHA-256, and every package,
// script and driver package the list names must be there. True with
// `summary` naming the release; false with the first difference in `error`.
[[nodiscard]] bool checkServedRelease(const std::string& root, std::string& summary,
                                      std::string& error);
