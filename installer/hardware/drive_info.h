#pragma once
// One hard disk: where it is and how large. The flows fill the installation
// target with it and hand it by reference to every disk operation.

#include <cstdint>

struct DriveInfo {
  static constexpr unsigned kDeviceSize = 32;

  char device[kDeviceSize] = {};  // whole-disk path, such as "/dev/hda"
  uint32_t cylinders = 0;
  uint32_t cylinderBytes = 0;     // heads x sectors x 512
  bool over1024Cylinders = false;  // more than 1023 cylinders: separate /boot
  bool over40MiB = false;          // capacity above 40 MiB: ext3 root

  // Copies `path` like a fixed-width field (zero-filled). A path that does
  // not fit with its terminator is refused and `device` stays as it was.
  [[nodiscard]] bool setDevice(const char* path);

  // Stores both numbers and derives both flags from them.
  void setGeometry(uint32_t cylinderCount, uint32_t bytesPerCylinder);
};
