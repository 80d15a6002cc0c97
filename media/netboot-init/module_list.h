#pragma once
// The list of kernel modules a network boot medium loads before the
// installer starts: one module file per line, relative to the kernel's module
// directory (/lib/modules/<release>/), in load order, each after the modules
// it needs. Blank lines and lines starting with "#" are left out; blanks
// around an entry are dropped.

#include <string>
#include <vector>

// The entries of the list file's `text`.
std::vector<std::string> parseModuleList(const std::string& text);
