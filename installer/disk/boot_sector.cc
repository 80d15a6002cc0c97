#include "disk/boot_sector.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/retry_io.h"

bool readBootSector(const char* device, uint8_t sector[kSectorSize]) {
  FILE* stream = fopen(device, "r");
  if (stream == nullptr) {
    perror("could not open MBR");
    return false;
  }
  errno = 0;
  if (fread(sector, kSectorSize, 1, stream) != 1) {
    // A device shorter than a sector sets no error of its own.
    if (!ferror(stream)) errno = ENODATA;
    perror("could not read MBR");
    (void)fclose(stream);  // read-only: nothing can be lost on close
    return false;
  }
  (void)fclose(stream);
  return true;
}

bool writeBootSector(const char* device, const uint8_t sector[kSectorSize]) {
  // Not a truncating open: on a disk image that would throw away the disk.
  int fd = open(device, O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    perror("could not open MBR");
    return false;
  }
  // A buffered write "succeeds" before anything reached the disk; errors
  // that only the flush sees are failures too. Character devices cannot be
  // synced (EINVAL), which is no failure of the write.
  bool written = writeAll(fd, sector, kSectorSize) && (fsync(fd) == 0 || errno == EINVAL);
  if (!written) {
    perror("could not write MBR");
    (void)close(fd);  // already failing; the error above is the one that counts
    return false;
  }
  if (close(fd) != 0) {
    perror("could not write MBR");
    return false;
  }
  return true;
}

void layBootCode(uint8_t sector[kSectorSize]) {
  memcpy(sector, bootCode, kBootCodeSize);
  memset(sector + kBootCodeSize, 0, kPartitionTableOffset - kBootCodeSize);
}

bool installBootCode(const char* device) {
  uint8_t sector[kSectorSize];
  if (!readBootSector(device, sector)) return false;
  layBootCode(sector);
  return writeBootSector(device, sector);
}
