#pragma once
// What the library accepts from a package, in one place. Each limit keeps the
// memory of an installation fixed, or the work per member bounded, so that
// no package costs more than its size warrants; honest packages stay far
// below all of them. docs/package-format.md lists them for package makers.

#include <cstddef>
#include <cstdint>

namespace libinstall {

// Longest member path and symbolic link target, in bytes (the system's
// PATH_MAX).
constexpr size_t kMaxPathLength = 4096;

// Most components of a member path, and most directory levels below the root
// that one lookup may hold open (links can lead deeper than a path says).
constexpr size_t kMaxDepth = 128;

// Symbolic links followed in one lookup (as the system does), and the
// components of their targets taken in all: a long chain of long targets
// would otherwise cost every member behind it thousands of steps.
constexpr int kMaxLinksFollowed = 40;
constexpr size_t kMaxLinkComponents = 256;

// Directories wait for their owner, mode and time until the package ends.
// Each distinct directory is remembered once, costing its path's length plus
// kDirectoryEntryCost bytes; a package whose directories need more than
// kMaxDirectoryMemory is refused (about 23,000 directories with 50-byte
// paths fit).
constexpr size_t kDirectoryEntryCost = 128;
constexpr size_t kMaxDirectoryMemory = 4 * 1024 * 1024;

// Largest member size: the largest file a system can hold, in whole blocks.
// Bigger sizes would wrap the arithmetic that skips a member's data.
constexpr uint64_t kMaxMemberSize = (uint64_t{1} << 63) - 512;

// Largest owner and group id: (uid_t)-1 means "leave unchanged" to the
// system, and larger ids would be cut to other ids (2^32 to root).
constexpr uint64_t kMaxOwnerId = 4294967294u;

// Signed packages are checked in chunks of a power of two bytes between
// these sizes, at most kMaxChunks of them: their digests are held in memory
// while the package installs (32 bytes each, 2 MiB at most), and one chunk
// is read ahead of what is inflated.
constexpr uint32_t kMinChunkSize = 4096;
constexpr uint32_t kMaxChunkSize = 1024 * 1024;
constexpr uint64_t kMaxChunks = 65536;
// The signature member: its few head lines, a line per chunk, the signature.
constexpr uint64_t kMaxSignatureSize = 1024 + kMaxChunks * 72;

}  // namespace libinstall
