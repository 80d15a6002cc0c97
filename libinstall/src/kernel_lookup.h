#pragma once
// The kernel's own guarded lookup (openat2), for ways that hold no symbolic
// link: one call resolves a whole way below a directory, where a walk takes
// two calls a level. Links are left to RootDir's walk, which alone knows the
// library's rules for them (absolute targets taken from the root, ".."
// above the root refused, the bounds of package_limits.h).

#include <string>

namespace libinstall {

// True when this kernel (or the emulator the program runs under) has
// openat2. Asked once per process.
bool kernelLookupAvailable();

// Opens the directory `way` (components joined by "/", none of them "." or
// "..") below `dirFd` as an O_PATH descriptor, refusing every symbolic link
// on the way, the last component included, and any way out of `dirFd`.
// Returns the descriptor, or -1 with errno: ELOOP for a link on the way,
// ENOENT, ENOTDIR, ENOSYS where the call is missing, and so on.
int openDirectoryWithoutLinks(int dirFd, const std::string& way);

}  // namespace libinstall
