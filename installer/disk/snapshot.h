#pragma once
// The configuration snapshot: a directory tree captured into memory while
// the old system is mounted and written back, under the same absolute paths,
// once the new system is mounted in its place. Nothing here prints.
//
// The stream holds, per entry in pre-order (a directory before its contents,
// contents in listing order): the path with its NUL, an EntryStatus, and for
// a regular file its content. Only directories and regular files are
// recorded; symbolic links are followed (a link to a directory comes back as
// a directory holding copies), devices, FIFOs and sockets are skipped.

#include <cstdint>

#include "disk/snapshot_stream.h"

// What restoring needs of an entry's status.
struct EntryStatus {
  uint32_t mode;  // file type and permission bits, as stat reports them
  uint32_t uid;
  uint32_t gid;
  uint32_t reserved;
  uint64_t size;  // content bytes that follow a regular file's record
  int64_t accessSeconds;
  int64_t modifySeconds;
  uint32_t accessNanoseconds;
  uint32_t modifyNanoseconds;
};

// Captures `path` and everything under it. Returns the head of a sealed
// chain, owned by the caller until restoreTree, or null when anything failed
// (memory, an unreadable entry, a dangling link, a file that changed size, a
// link that loops back to a directory above it); no partial snapshot is ever
// returned.
SnapshotChunk* captureTree(const char* path);

// Recreates every recorded entry at its recorded path, then frees the chain.
// Files get their content, owner, group, mode (after the owner, so that the
// set-user-ID and set-group-ID bits survive) and times; directories their
// owner, group, mode and, once their contents are in, their times. The first
// failing entry stops the walk (the top directory existing already is such a
// failure); entries before it stay. Returns true when every entry was
// restored. A head whose magic is wrong yields false and is not freed.
[[nodiscard]] bool restoreTree(SnapshotChunk* head);
