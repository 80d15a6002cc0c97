#pragma once
// The disk label a network installation announces to the server: the first
// line of "label.txt" on a floppy disk, so that an operator installing many
// machines at once can tell them apart in the server's log.

#include <cstddef>

// Room the network flow gives the label: 31 characters and the terminator.
constexpr size_t kDiskLabelSize = 32;
constexpr const char* kDefaultDiskLabel = "korvanel";

// Fills `label` with the label of the floppy in "/dev/fd0" (FAT): the first
// line of "/floppy/label.txt" with only its letters, digits and punctuation
// kept. Without a floppy, without the file, or when nothing is left, the
// label is "korvanel" (cut to fit). The floppy is mounted on "/floppy" only
// while the file is read. REQUIRES: capacity > 0.
void readDiskLabel(char* label, size_t capacity);

// The label logic without the floppy: the label from the first line of the
// file at `path` (at most capacity - 1 characters of it are read), or the
// default when `path` is null, cannot be opened or leaves nothing.
// REQUIRES: capacity > 0.
void labelFromFile(const char* path, char* label, size_t capacity);
