#pragma once
// Where the local flows meet the kernel over their installation medium: the
// mounts on /floppy and the source disk's device. The flows take it as a
// parameter, so that their logic can be tried on media any kernel mounts;
// systemSourceMedium() is the real one.

// The mount point of every source medium.
constexpr const char* kSourceMountPoint = "/floppy";

class SourceMedium {
 public:
  virtual ~SourceMedium() = default;

  // Mounts the CD-ROM in `device` (ISO 9660) read-only on /floppy. True when
  // it is mounted.
  virtual bool mountCdrom(const char* device) = 0;

  // Mounts the FAT file system that fills the whole of `device` on /floppy,
  // read-write. True when it is mounted.
  virtual bool mountDisk(const char* device) = 0;

  // Unmounts /floppy. True when something was unmounted.
  virtual bool unmount() = 0;

  // Opens the whole `device` write-only: a descriptor the caller closes, or
  // -1 with errno set.
  virtual int openForWriting(const char* device) = 0;
};

// The kernel's own mounts: "iso9660" with the classic magic and MS_RDONLY,
// "vfat" without flags, both without mount data.
SourceMedium& systemSourceMedium();
