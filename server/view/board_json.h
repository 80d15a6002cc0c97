#pragma once
// The machine board as the status page and scripts read it (/status.json):
// every field is described in docs/network-installation.md.

#include <string>

#include "server/view/machine_board.h"

// The snapshot as one JSON document. Whatever the machines sent arrives as
// JSON text, escaped by the library; bytes that are no UTF-8 are replaced.
std::string boardJson(const BoardSnapshot& snapshot);
