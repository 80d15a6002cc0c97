// Capturing real trees in scratch directories and writing them back.
#include "disk/snapshot.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "disk_test_support.h"

namespace {
// The directory whose listing fails, as a disk error makes it fail: see
// readdir below. Empty: every listing reads as usual.
std::string failingListing;
}  // namespace

// Interposes the C library's readdir64 (what readdir calls in a build with
// 64-bit file offsets, as this project's is) for this test binary and passes
// every call through, except for the listing of `failingListing`, which
// ends at once with EIO.
namespace {
template <typename Entry>
Entry* readListing(const char* name, DIR* dir) {
  using Read = Entry* (*)(DIR*);
  if (!failingListing.empty()) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
    ssize_t length = readlink(link, target, sizeof target);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == failingListing) {
      errno = EIO;
      return nullptr;
    }
  }
  return reinterpret_cast<Read>(dlsym(RTLD_NEXT, name))(dir);
}
}  // namespace

extern "C" struct dirent64* readdir64(DIR* dir) {
  return readListing<struct dirent64>("readdir64", dir);
}

namespace {

struct Record {
  std::string path;
  EntryStatus status;
  std::string content;
};

// The stream decoded record by record; the chain is left untouched.
std::vector<Record> records(SnapshotChunk* head) {
  std::vector<Record> out;
  std::vector<std::pair<SnapshotChunk*, uint32_t>> cursors;
  for (SnapshotChunk* c = head; c != nullptr; c = c->next) cursors.push_back({c, c->cursor});
  SnapshotReader reader(head);
  while (!reader.atEnd()) {
    Record record;
    const char* path = reader.readString();
    if (path == nullptr || !reader.readBytes(&record.status, sizeof record.status)) break;
    record.path = path;
    if (S_ISREG(record.status.mode)) {
      record.content.resize(record.status.size);
      if (!reader.readBytes(record.content.data(), record.content.size())) break;
    }
    out.push_back(record);
  }
  for (auto& [chunk, cursor] : cursors) chunk->cursor = cursor;
  return out;
}

std::vector<std::string> paths(const std::vector<Record>& list) {
  std::vector<std::string> out;
  for (const Record& r : list) out.push_back(r.path);
  return out;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Captures `top`, removes it, restores it from the snapshot and returns what
// differs from before: "" when nothing does.
std::string differencesAfterRoundTrip(const std::string& top) {
  TreeDescription before = describeTree(top);
  SnapshotChunk* snapshot = captureTree(top.c_str());
  if (snapshot == nullptr) return "the capture failed";
  if (system(("rm -rf '" + top + "'").c_str()) != 0) return "could not remove " + top;
  if (!restoreTree(snapshot)) return "the restore failed";
  return treeDifferences(before, describeTree(top));
}

TEST(Snapshot, ARandomTreeComesBackWithContentModesOwnersAndTimes) {
  ScratchDirectory scratch;
  std::string store = scratch.path() + "/store";
  buildRandomTree(store, 7, 300);
  TreeDescription before = describeTree(store);

  SnapshotChunk* snapshot = captureTree(store.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(rename(store.c_str(), (scratch.path() + "/old").c_str()), 0);
  ASSERT_TRUE(restoreTree(snapshot));

  TreeDescription after = describeTree(store);
  EXPECT_EQ(treeDifferences(before, after), "");
  EXPECT_EQ(before.size(), after.size());
  // The tree holds what the comparison is meant to cover.
  int setIds = 0, sticky = 0, large = 0, empty = 0, linkedDirectories = 0;
  for (const auto& [path, entry] : before) {
    setIds += (entry.mode & (S_ISUID | S_ISGID)) != 0;
    sticky += (entry.mode & S_ISVTX) != 0;
    large += entry.size > 16000;
    empty += entry.type == 'f' && entry.size == 0;
    linkedDirectories += entry.type == 'd' && path.find("link") != std::string::npos;
  }
  EXPECT_GT(setIds, 10);
  EXPECT_GT(sticky, 3);
  EXPECT_GT(large, 10);
  EXPECT_GT(empty, 3);
  EXPECT_GT(linkedDirectories, 0);
}

TEST(Snapshot, RecordsArePreOrderWithLinksFollowedAndSpecialFilesSkipped) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/top";
  ASSERT_EQ(mkdir(top.c_str(), 0750), 0);
  ASSERT_EQ(mkdir((top + "/sub").c_str(), 0755), 0);
  writeFile(top + "/sub/file", "content", 0640);
  ASSERT_EQ(symlink("sub", (top + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("sub/file", (top + "/filelink").c_str()), 0);
  ASSERT_EQ(mkfifo((top + "/fifo").c_str(), 0600), 0);

  SnapshotChunk* snapshot = captureTree(top.c_str());
  ASSERT_NE(snapshot, nullptr);
  std::vector<Record> list = records(snapshot);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list[0].path, top);
  EXPECT_TRUE(S_ISDIR(list[0].status.mode));
  EXPECT_EQ(list[0].status.mode & 07777, 0750u);
  std::vector<std::string> seen = paths(list);
  std::sort(seen.begin() + 1, seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{top, top + "/dirlink", top + "/dirlink/file",
                                            top + "/filelink", top + "/sub", top + "/sub/file"}));
  for (const Record& r : list) {
    if (r.path.find("file", top.size()) != std::string::npos) {
      EXPECT_TRUE(S_ISREG(r.status.mode)) << r.path;
      EXPECT_EQ(r.content, "content") << r.path;
    }
  }
  // A directory always precedes its contents.
  for (size_t i = 0; i < list.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      EXPECT_NE(list[j].path.rfind(list[i].path + "/", 0), 0u) << list[i].path;
    }
  }
  ASSERT_EQ(rename(top.c_str(), (scratch.path() + "/old").c_str()), 0);
  ASSERT_TRUE(restoreTree(snapshot));
  struct stat st;
  ASSERT_EQ(lstat((top + "/dirlink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a link to a directory comes back as a directory";
  EXPECT_EQ(readFile(top + "/dirlink/file"), "content");
  ASSERT_EQ(lstat((top + "/filelink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_FALSE(exists(top + "/fifo"));
}

TEST(Snapshot, EmptyDirectoryAndEmptyFileAreSingleRecords) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/empty";
  ASSERT_EQ(mkdir(top.c_str(), 0705), 0);
  ASSERT_EQ(chown(top.c_str(), 123, 456), 0);
  SnapshotChunk* snapshot = captureTree(top.c_str());
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->next, nullptr);
  EXPECT_EQ(snapshot->limit, top.size() + 1 + sizeof(EntryStatus));
  ASSERT_EQ(rmdir(top.c_str()), 0);
  ASSERT_TRUE(restoreTree(snapshot));
  struct stat st;
  ASSERT_EQ(stat(top.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0705u);
  EXPECT_EQ(st.st_uid, 123u);
  EXPECT_EQ(st.st_gid, 456u);

  std::string file = scratch.path() + "/zero";
  writeFile(file, "", 0604);
  snapshot = captureTree(file.c_str());
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->limit, file.size() + 1 + sizeof(EntryStatus)) << "no content bytes";
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_TRUE(restoreTree(snapshot));
  EXPECT_EQ(readFile(file), "");
}

TEST(Snapshot, SetIdBitsSurviveTheChangeOfOwner) {
  // Restoring the mode before the owner loses these bits: the kernel clears
  // them when a file's owner changes.
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/ids";
  ASSERT_EQ(mkdir(top.c_str(), 02755), 0);
  ASSERT_EQ(chown(top.c_str(), 1000, 50), 0);
  ASSERT_EQ(chmod(top.c_str(), 02755), 0);
  const std::pair<const char*, mode_t> files[] = {{"suid", 04755}, {"sgid", 02755},
                                                  {"both", 06711}, {"sticky", 01644}};
  for (auto [name, mode] : files) {
    writeFile(top + "/" + name, "x", 0600);
    ASSERT_EQ(chown((top + "/" + name).c_str(), 1000, 50), 0);
    ASSERT_EQ(chmod((top + "/" + name).c_str(), mode), 0);
  }
  EXPECT_EQ(differencesAfterRoundTrip(top), "");
}

TEST(Snapshot, DirectoriesKeepTheirTimesAfterTheirContentsAreWritten) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/timed";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((top + "/inner").c_str(), 0755), 0);
  writeFile(top + "/inner/file", "data");
  writeFile(top + "/file", "data");
  struct timespec old[2] = {{1900000000, 5}, {1000000000, 123456789}};
  for (const char* path : {"/inner/file", "/inner", "/file", ""}) {
    ASSERT_EQ(utimensat(AT_FDCWD, (top + path).c_str(), old, 0), 0);
  }
  EXPECT_EQ(differencesAfterRoundTrip(top), "");
}

TEST(Snapshot, CaptureFailsAsAWholeAndReturnsNothingPartial) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/bad";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  writeFile(top + "/good", std::string(50000, 'g'));
  ASSERT_EQ(symlink("nowhere", (top + "/dangling").c_str()), 0);
  EXPECT_EQ(captureTree(top.c_str()), nullptr) << "a dangling link";
  ASSERT_EQ(unlink((top + "/dangling").c_str()), 0);

  // A file whose size is not its content (a kernel file: size 0, text inside).
  ASSERT_EQ(symlink("/proc/self/status", (top + "/changing").c_str()), 0);
  EXPECT_EQ(captureTree(top.c_str()), nullptr) << "a size mismatch";
  ASSERT_EQ(unlink((top + "/changing").c_str()), 0);

  // A link back to a directory above it would make the tree endless.
  ASSERT_EQ(mkdir((top + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("..", (top + "/sub/up").c_str()), 0);
  ASSERT_EQ(symlink("..", (top + "/sub/up2").c_str()), 0);
  EXPECT_EQ(captureTree(top.c_str()), nullptr) << "a loop";
  ASSERT_EQ(unlink((top + "/sub/up").c_str()), 0);
  ASSERT_EQ(unlink((top + "/sub/up2").c_str()), 0);

  EXPECT_EQ(captureTree((scratch.path() + "/missing").c_str()), nullptr);

  // A listing that breaks off must not pass for a directory that is empty.
  failingListing = top + "/sub";
  EXPECT_EQ(captureTree(top.c_str()), nullptr) << "a directory that cannot be listed";
  failingListing.clear();
  SnapshotChunk* fine = captureTree(top.c_str());
  EXPECT_NE(fine, nullptr) << "the repaired tree captures";
  freeSnapshot(fine);
}

TEST(Snapshot, RestoringOverAnExistingTopRestoresNothing) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/exists";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  writeFile(top + "/file", "new");
  SnapshotChunk* snapshot = captureTree(top.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(unlink((top + "/file").c_str()), 0);
  EXPECT_FALSE(restoreTree(snapshot));  // frees the chain: LeakSanitizer checks
  EXPECT_FALSE(exists(top + "/file")) << "entries after the failure are not attempted";
}

TEST(Snapshot, ARestoreThatRunsOutOfSpaceStopsAtTheFailingFile) {
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/full";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  writeFile(top + "/a", std::string(100, 'a'));
  ASSERT_EQ(mkdir((top + "/b").c_str(), 0755), 0);
  writeFile(top + "/b/big", std::string(100000, 'b'));
  writeFile(top + "/c", std::string(100, 'c'));
  struct timespec old[2] = {{2000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (top + "/b").c_str(), old, 0), 0);
  SnapshotChunk* snapshot = captureTree(top.c_str());
  ASSERT_NE(snapshot, nullptr);
  std::vector<std::string> order = paths(records(snapshot));
  ASSERT_EQ(system(("rm -rf '" + top + "'").c_str()), 0);

  int result = runInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {50000, 50000};  // the disk "fills" inside b/big
    setrlimit(RLIMIT_FSIZE, &limit);
    return restoreTree(snapshot) ? 1 : 0;
  });
  freeSnapshot(snapshot);  // the child freed its own copy
  EXPECT_EQ(result, 0) << "a failed write is a failed restore";
  // Whatever came before b/big in listing order is there, nothing after it.
  bool afterFailure = false;
  for (const std::string& path : order) {
    if (path == top + "/b/big") {
      afterFailure = true;
      continue;
    }
    EXPECT_EQ(exists(path), !afterFailure) << path;
  }
  struct stat st;
  ASSERT_EQ(stat((top + "/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000) << "restored directories get their times even then";
}

TEST(Snapshot, AnEmptyFileThatCannotBeCreatedFailsTheRestore) {
  // An empty file has no write that could fail: its open must count.
  ScratchDirectory scratch;
  std::string top = scratch.path() + "/empty-file";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  writeFile(top + "/zero", "");
  SnapshotChunk* snapshot = captureTree(top.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(system(("rm -rf '" + top + "'").c_str()), 0);
  int result = runInChild([&] {
    struct rlimit limit = {3, 3};  // descriptors 0 to 2 only: no file opens
    setrlimit(RLIMIT_NOFILE, &limit);
    return restoreTree(snapshot) ? 1 : 0;
  });
  freeSnapshot(snapshot);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(exists(top)) << "the directory before it was restored";
  EXPECT_FALSE(exists(top + "/zero"));
}

TEST(Snapshot, AHeadWithoutTheMagicIsRefusedAndLeftAlone) {
  EXPECT_FALSE(restoreTree(nullptr));
  ScratchDirectory scratch;
  SnapshotChunk* snapshot = captureTree(scratch.path().c_str());
  ASSERT_NE(snapshot, nullptr);
  snapshot->magic = 0x12345678;
  EXPECT_FALSE(restoreTree(snapshot));
  EXPECT_EQ(snapshot->magic, 0x12345678u) << "not freed";
  snapshot->magic = SnapshotChunk::kMagic;
  freeSnapshot(snapshot);
}

}  // namespace
