#pragma once
// Copies into the installer's fixed-size text buffers. Every such buffer
// (device paths, the mode text, names from the server, lines of tool output)
// is filled through these, so that input longer than the buffer is cut or
// refused and never written past its end.

#include <cstddef>

// Copies `source` into `dest` of `capacity` bytes, cutting it to capacity - 1
// characters, and terminates it. Returns true when nothing was cut.
// REQUIRES: capacity > 0.
bool copyCut(char* dest, size_t capacity, const char* source);

// Fills `dest` of `capacity` bytes like a fixed-width field: copies `source`
// and zero-fills the rest. Refuses (returns false, leaves `dest` unchanged)
// when `source` and its terminator do not fit.
[[nodiscard]] bool copyField(char* dest, size_t capacity, const char* source);
