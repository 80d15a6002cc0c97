#pragma once
// The disk the tool works on: a block device or, for tests and image
// building, a regular file. Its size, the kernel's geometry, and sector I/O.
// Errors come back as text in perror style ("cannot open X: reason").

#include <sys/types.h>

#include <cstdint>
#include <string>

class BlockDevice {
 public:
  BlockDevice() = default;
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;
  ~BlockDevice();

  // Opens `path` and learns its size and geometry. False with `error` set
  // when it cannot be opened or sized, or uses sectors other than 512 bytes.
  [[nodiscard]] bool open(const std::string& path, bool writable, std::string& error);

  const std::string& path() const { return path_; }
  int descriptor() const { return fd_; }
  bool isBlockDevice() const { return blockDevice_; }
  dev_t deviceNumber() const { return deviceNumber_; }
  uint64_t totalSectors() const { return totalSectors_; }
  // What HDIO_GETGEO answered, or 0 and 0 when it did not.
  uint32_t kernelHeads() const { return kernelHeads_; }
  uint32_t kernelSectorsPerTrack() const { return kernelSectors_; }

  [[nodiscard]] bool readSector(uint64_t sector, uint8_t* buffer);
  // Writes one sector and waits until it has reached the device.
  [[nodiscard]] bool writeSectorDurably(uint64_t sector, const uint8_t* buffer,
                                        std::string& error);

 private:
  std::string path_;
  int fd_ = -1;
  bool blockDevice_ = false;
  dev_t deviceNumber_ = 0;
  uint64_t totalSectors_ = 0;
  uint32_t kernelHeads_ = 0;
  uint32_t kernelSectors_ = 0;
};
