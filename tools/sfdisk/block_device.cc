#include "block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "geometry.h"

namespace {

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

}  // namespace

BlockDevice::~BlockDevice() {
  if (fd_ >= 0) close(fd_);
}

bool BlockDevice::open(const std::string& path, bool writable, std::string& error) {
  path_ = path;
  fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd_ < 0) {
    error = systemError("cannot open " + path);
    return false;
  }
  struct stat status;
  if (fstat(fd_, &status) != 0) {
    error = systemError("cannot examine " + path);
    return false;
  }
  blockDevice_ = S_ISBLK(status.st_mode);
  if (!blockDevice_) {
    if (!S_ISREG(status.st_mode)) {
      error = path + ": not a disk or an image file";
      return false;
    }
    totalSectors_ = static_cast<uint64_t>(status.st_size) / kSectorSize;
    return true;
  }
  deviceNumber_ = status.st_rdev;
  uint64_t bytes = 0;
  if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
    error = systemError("cannot get the size of " + path);
    return false;
  }
  totalSectors_ = bytes / kSectorSize;
  int logicalSectorSize = 0;
  if (ioctl(fd_, BLKSSZGET, &logicalSectorSize) == 0 &&
      logicalSectorSize != static_cast<int>(kSectorSize)) {
    error = path + ": sectors of " + std::to_string(logicalSectorSize) +
            " bytes are not supported";
    return false;
  }
  struct hd_geometry geometry {};
  if (ioctl(fd_, HDIO_GETGEO, &geometry) == 0) {
    kernelHeads_ = geometry.heads;
    kernelSectors_ = geometry.sectors;
  }
  return true;
}

bool BlockDevice::readSector(uint64_t sector, uint8_t* buffer) {
  size_t done = 0;
  off_t offset = static_cast<off_t>(sector * kSectorSize);
  while (done < kSectorSize) {
    ssize_t n = pread(fd_, buffer + done, kSectorSize - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool BlockDevice::writeSectorDurably(uint64_t sector, const uint8_t* buffer, std::string& error) {
  size_t done = 0;
  off_t offset = static_cast<off_t>(sector * kSectorSize);
  while (done < kSectorSize) {
    ssize_t n = pwrite(fd_, buffer + done, kSectorSize - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      error = systemError("cannot write the partition table to " + path_);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd_) != 0) {
    error = systemError("cannot flush the partition table to " + path_);
    return false;
  }
  return true;
}
