#pragma once
// The first sector of the target disk: reading and writing it, and laying
// the installer's built-in boot code into it with the disk's partition table
// (bytes 446-509) and boot signature (510-511) kept as they are.
//
// These operations report their own failures, perror style, on standard
// error: "could not open MBR", "could not read MBR", "could not write MBR".

#include <cstddef>
#include <cstdint>

constexpr size_t kSectorSize = 512;
// The built-in boot code block: code, then its two messages, then zeros.
constexpr size_t kBootCodeSize = 184;
// Where the four partition-table entries begin; everything from here to the
// end of the sector belongs to the disk.
constexpr size_t kPartitionTableOffset = 446;

// Assembled from bootcode.asm at build time.
extern const uint8_t bootCode[kBootCodeSize];

// Reads the first 512 bytes of `device` into `sector`. False (after one
// perror line) when the device cannot be opened or holds less than a sector.
[[nodiscard]] bool readBootSector(const char* device, uint8_t sector[kSectorSize]);

// Writes `sector` over the first 512 bytes of `device`, leaving everything
// after it alone (an image file is not truncated), and waits until the bytes
// have reached the device. False (after one perror line) on any failure,
// including one that only shows when the data is flushed.
[[nodiscard]] bool writeBootSector(const char* device, const uint8_t sector[kSectorSize]);

// Puts bootCode into bytes 0-183 and zeroes bytes 184-445; bytes 446-511
// (table and signature, valid or not) are not touched.
void layBootCode(uint8_t sector[kSectorSize]);

// readBootSector, layBootCode, writeBootSector on the same device. Nothing is
// written when the read fails.
[[nodiscard]] bool installBootCode(const char* device);
