#pragma once
// One package into its own package installer child, for the flows that read
// the packages from a medium. The child's verdict counts: a package it did
// not install stops the installation with one line that names the package,
// before anything can report the installation as done.

#include <libinstall/package_info.h>

#include <cstddef>
#include <cstdio>

// The new system's root while packages are installed.
constexpr const char* kNewSystemRoot = "/mnt";
// The piece of a package written to the child at a time.
constexpr size_t kPackageBlock = 4096;

// Writes `size` (> 0) bytes of the package as one block. False when the child did
// not take all of them (it has ended: a refused package).
[[nodiscard]] bool feedPackage(FILE* installer, const void* block, size_t size);

// Closes the stream, reaps the child and returns true when it installed the
// package. Otherwise prints "\nFATAL ERROR: could not install package <full
// name>" and returns false.
[[nodiscard]] bool finishPackage(FILE* installer, const PackageInfo& package);

// After a block was refused: reaps the child and prints the same line.
void abandonPackage(FILE* installer, const PackageInfo& package);
