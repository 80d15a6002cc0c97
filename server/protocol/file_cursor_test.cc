// A file sent block by block is the same file whether it is read ahead or
// not, whatever the block size against the buffer's; the pool lends only
// so many buffers, and a file without one is still read whole.
#include "server/protocol/file_cursor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "scratch_directory.h"
#include "server/protocol/read_ahead_pool.h"

namespace {

std::string writeFile(const std::string& path, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}

// The file through `cursor` in blocks of `block` bytes: what came, and
// whether every block but the last was whole.
std::string readAll(FileCursor& cursor, size_t block, bool& wholeBlocks) {
  std::string got;
  std::string buffer(block, '\0');
  wholeBlocks = true;
  bool shortSeen = false;
  long count;
  while ((count = cursor.readNext(buffer.data(), block)) > 0) {
    if (shortSeen) wholeBlocks = false;
    if (static_cast<size_t>(count) < block) shortSeen = true;
    got.append(buffer.data(), static_cast<size_t>(count));
    EXPECT_EQ(cursor.offset(), got.size());
  }
  EXPECT_EQ(count, 0);
  return got;
}

TEST(FileCursorTest, ReadAheadHandsOutTheFileUnchanged) {
  ScratchDirectory scratch;
  const size_t buffer = ReadAheadPool::kBufferSize;
  const size_t sizes[] = {0, 1, 1467, buffer - 1, buffer, buffer + 1, 3 * buffer + 1000};
  const size_t blocks[] = {1, 1452, 1468, 4076, buffer, buffer + 1};
  ReadAheadPool pool(1);
  for (size_t size : sizes) {
    std::string path = scratch / ("file-" + std::to_string(size));
    std::string bytes = writeFile(path, size);
    for (size_t block : blocks) {
      if (block == 1 && size > buffer + 1) continue;  // slow and says nothing more
      for (ReadAheadPool* through : {static_cast<ReadAheadPool*>(nullptr), &pool}) {
        SCOPED_TRACE("size " + std::to_string(size) + ", block " + std::to_string(block) +
                     (through ? ", read ahead" : ""));
        FileCursor cursor;
        ASSERT_TRUE(cursor.open(path, through));
        EXPECT_EQ(cursor.readsAhead(), through != nullptr);
        EXPECT_EQ(cursor.size(), size);
        bool wholeBlocks;
        EXPECT_EQ(readAll(cursor, block, wholeBlocks), bytes);
        EXPECT_TRUE(wholeBlocks) << "a block cut short where a buffer ended";
        cursor.close();
        EXPECT_EQ(pool.lent(), 0u);
      }
    }
  }
}

TEST(FileCursorTest, BeyondThePoolFilesAreReadBlockByBlock) {
  ScratchDirectory scratch;
  std::string bytes = writeFile(scratch / "file", 50000);
  ReadAheadPool pool(1);
  FileCursor first, second;
  ASSERT_TRUE(first.open(scratch / "file", &pool));
  ASSERT_TRUE(second.open(scratch / "file", &pool));
  EXPECT_TRUE(first.readsAhead());
  EXPECT_FALSE(second.readsAhead());
  bool wholeBlocks;
  EXPECT_EQ(readAll(second, 4076, wholeBlocks), bytes);
  // A file done gives its buffer back for the next one.
  first.close();
  FileCursor third;
  ASSERT_TRUE(third.open(scratch / "file", &pool));
  EXPECT_TRUE(third.readsAhead());
  EXPECT_EQ(readAll(third, 4076, wholeBlocks), bytes);
  // Opening another file keeps the cursor's buffer, not a second one.
  ASSERT_TRUE(third.open(scratch / "file", &pool));
  EXPECT_EQ(pool.lent(), 1u);
}

TEST(FileCursorTest, AReadErrorIsReported) {
  ScratchDirectory scratch;
  ReadAheadPool pool;
  for (ReadAheadPool* through : {static_cast<ReadAheadPool*>(nullptr), &pool}) {
    FileCursor cursor;
    // A directory opens, but cannot be read.
    ASSERT_TRUE(cursor.open(scratch.path(), through));
    char block[1468];
    errno = 0;
    EXPECT_EQ(cursor.readNext(block, sizeof block), -1);
    EXPECT_EQ(errno, EISDIR);
  }
}

}  // namespace
