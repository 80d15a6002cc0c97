#include "disk/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/retry_io.h"

// The build gives every file wide types (the top-level CMakeLists.txt); the
// 32-bit build refuses to go without them.
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8,
              "the snapshot needs 64-bit times and file sizes");

namespace {

constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewDirectoryMode = 0700;

EntryStatus entryStatus(const struct stat& st) {
  EntryStatus status{};
  status.mode = st.st_mode;
  status.uid = st.st_uid;
  status.gid = st.st_gid;
  status.size = static_cast<uint64_t>(st.st_size);
  status.accessSeconds = st.st_atim.tv_sec;
  status.accessNanoseconds = static_cast<uint32_t>(st.st_atim.tv_nsec);
  status.modifySeconds = st.st_mtim.tv_sec;
  status.modifyNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  return status;
}

struct DirectoryId {
  dev_t device;
  ino_t inode;
};

class TreeCapture {
 public:
  explicit TreeCapture(SnapshotWriter& writer) : writer_(writer) {}

  bool captureEntry(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;  // a dangling link too
    if (S_ISREG(st.st_mode)) return captureFile(path, st);
    if (S_ISDIR(st.st_mode)) return captureDirectory(path, st);
    return true;  // devices, FIFOs, sockets: no record
  }

 private:
  bool append(const std::string& path, const struct stat& st) {
    EntryStatus status = entryStatus(st);
    return writer_.appendString(path.c_str()) && writer_.appendBytes(&status, sizeof status);
  }

  bool captureFile(const std::string& path, const struct stat& st) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool captured = append(path, st) && writer_.appendContent(fd, static_cast<uint64_t>(st.st_size));
    (void)close(fd);  // read-only: nothing to lose
    return captured;
  }

  bool captureDirectory(const std::string& path, const struct stat& st) {
    // A link back to a directory above would make the tree endless (and,
    // with two such links, exponential): such a tree cannot be kept.
    for (const DirectoryId& above : ancestors_) {
      if (above.device == st.st_dev && above.inode == st.st_ino) return false;
    }
    std::vector<std::string> names;
    if (!listDirectory(path, names)) return false;
    if (!append(path, st)) return false;
    ancestors_.push_back({st.st_dev, st.st_ino});
    size_t prefetched = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      for (; prefetched < names.size() && prefetched < i + kReadAhead; ++prefetched) {
        prefetch(path + "/" + names[prefetched]);
      }
      if (!captureEntry(path + "/" + names[i])) return false;
    }
    ancestors_.pop_back();
    return true;
  }

  // The names in listing order, without "." and "..". The listing is closed
  // before descending, so a deep tree does not hold a descriptor per level.
  // False when the listing cannot be read to its end: readdir tells an error
  // from the end only through errno, and a listing cut short by a disk error
  // would pass for the whole directory, leaving entries silently behind.
  static bool listDirectory(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return false;
    bool complete;
    for (;;) {
      errno = 0;
      struct dirent* entry = readdir(dir);
      if (entry == nullptr) {
        complete = errno == 0;
        break;
      }
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
    (void)closedir(dir);  // read-only: nothing to lose
    return complete;
  }

  // Asks the kernel to start reading a regular file that is about to be
  // captured, so that the reads of one directory overlap instead of each
  // waiting for the disk in turn. Only a hint: failures do not matter, and
  // nothing but a regular file is ever opened.
  static void prefetch(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    (void)close(fd);
  }
  static constexpr size_t kReadAhead = 32;  // files of a directory ahead

  SnapshotWriter& writer_;
  std::vector<DirectoryId> ancestors_;
};

struct PendingTimes {
  std::string path;
  struct timespec times[2];
};

void toTimes(const EntryStatus& status, struct timespec times[2]) {
  times[0].tv_sec = static_cast<time_t>(status.accessSeconds);
  times[0].tv_nsec = status.accessNanoseconds;
  times[1].tv_sec = static_cast<time_t>(status.modifySeconds);
  times[1].tv_nsec = status.modifyNanoseconds;
}

// Content, then owner before mode (a change of owner clears the set-user-ID
// and set-group-ID bits), then times.
bool restoreFile(const char* path, const EntryStatus& status, SnapshotReader& reader) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, kNewFileMode);
  if (fd < 0) return false;
  bool written = true;
  for (uint64_t left = status.size; written && left > 0;) {
    const uint8_t* piece;
    size_t size = reader.nextPiece(left < SIZE_MAX ? static_cast<size_t>(left) : SIZE_MAX, piece);
    written = size > 0 && writeAll(fd, piece, size);
    left -= size;
  }
  if (written) {
    (void)fchown(fd, status.uid, status.gid);
    (void)fchmod(fd, status.mode & 07777);
  }
  written = (close(fd) == 0) && written;
  if (!written) return false;
  struct timespec times[2];
  toTimes(status, times);
  (void)utimensat(AT_FDCWD, path, times, 0);
  return true;
}

bool restoreDirectory(const char* path, const EntryStatus& status,
                      std::vector<PendingTimes>& pending) {
  if (mkdir(path, kNewDirectoryMode) != 0) return false;
  (void)chown(path, status.uid, status.gid);
  (void)chmod(path, status.mode & 07777);
  PendingTimes entry{path, {}};
  toTimes(status, entry.times);
  pending.push_back(std::move(entry));
  return true;
}

bool restoreEntries(SnapshotReader& reader, std::vector<PendingTimes>& pending) {
  while (!reader.atEnd()) {
    const char* path = reader.readString();
    EntryStatus status;
    if (path == nullptr || !reader.readBytes(&status, sizeof status)) return false;
    if (S_ISREG(status.mode)) {
      if (!restoreFile(path, status, reader)) return false;
    } else if (S_ISDIR(status.mode)) {
      if (!restoreDirectory(path, status, pending)) return false;
    }
  }
  return true;
}

}  // namespace

SnapshotChunk* captureTree(const char* path) {
  SnapshotWriter writer;
  if (!writer.start()) return nullptr;
  TreeCapture capture(writer);
  if (!capture.captureEntry(path)) return nullptr;  // the writer frees the chain
  return writer.finish();
}

bool restoreTree(SnapshotChunk* head) {
  if (head == nullptr || head->magic != SnapshotChunk::kMagic) return false;
  SnapshotReader reader(head);
  std::vector<PendingTimes> pending;
  bool restored = restoreEntries(reader, pending);
  // A directory's times are set once its contents are in, deepest last
  // created first, so that creating entries cannot move them again. This
  // holds for the directories restored before a failure too.
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    (void)utimensat(AT_FDCWD, it->path.c_str(), it->times, 0);
  }
  freeSnapshot(head);
  return restored;
}
