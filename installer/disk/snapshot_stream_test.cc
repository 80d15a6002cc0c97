// The chunk chain as the capture builds it and the restore reads it.
#include "disk/snapshot_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "disk_test_support.h"

namespace {

struct ChunkShape {
  uint32_t limit;
  uint32_t cursor;
  bool operator==(const ChunkShape& o) const { return limit == o.limit && cursor == o.cursor; }
};

std::vector<ChunkShape> shape(SnapshotChunk* head) {
  std::vector<ChunkShape> chunks;
  for (SnapshotChunk* c = head; c != nullptr; c = c->next) {
    EXPECT_EQ(c->magic, SnapshotChunk::kMagic);
    chunks.push_back({c->limit, c->cursor});
  }
  return chunks;
}

std::string pattern(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i * 7 + i / 251);
  return text;
}

// Holds a finished chain and frees it at the end.
struct Chain {
  SnapshotChunk* head;
  ~Chain() { freeSnapshot(head); }
};

TEST(SnapshotStream, AStringThatDoesNotFitGetsAChunkOfExactlyItsSize) {
  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  std::string filler(15990, 'f');
  ASSERT_TRUE(writer.appendBytes(filler.data(), filler.size()));
  std::string path = "/mnt/tarn/store/a-name-of-twenty";  // 32 bytes + NUL
  ASSERT_TRUE(writer.appendString(path.c_str()));
  ASSERT_TRUE(writer.appendBytes("abc", 3));  // the next record: a fresh chunk
  Chain chain{writer.finish()};
  EXPECT_EQ(shape(chain.head),
            (std::vector<ChunkShape>{{15990, 0}, {33, 0}, {3, 0}}));
  EXPECT_EQ(writer.finish(), nullptr) << "the writer handed everything over";

  SnapshotReader reader(chain.head);
  std::string back(15990, '\0');
  ASSERT_TRUE(reader.readBytes(back.data(), back.size()));
  EXPECT_EQ(back, filler);
  const char* read = reader.readString();
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read, path);
  char tail[3];
  ASSERT_TRUE(reader.readBytes(tail, 3));
  EXPECT_TRUE(reader.atEnd());
  EXPECT_FALSE(reader.readBytes(tail, 1));
  EXPECT_EQ(reader.readString(), nullptr);
}

TEST(SnapshotStream, AStringLongerThanARegularChunkStillStaysWhole) {
  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  ASSERT_TRUE(writer.appendString("/short"));
  std::string huge(20000, 'p');
  ASSERT_TRUE(writer.appendString(huge.c_str()));
  Chain chain{writer.finish()};
  EXPECT_EQ(shape(chain.head), (std::vector<ChunkShape>{{7, 0}, {20001, 0}}));
  SnapshotReader reader(chain.head);
  EXPECT_STREQ(reader.readString(), "/short");
  EXPECT_EQ(reader.readString(), huge);
}

TEST(SnapshotStream, BytesAndContentSpanChunksAndComeBackInPieces) {
  ScratchDirectory dir;
  std::string content = pattern(40000, 3);
  writeFile(dir.path() + "/content", content);

  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  std::string record = pattern(100, 9);
  ASSERT_TRUE(writer.appendBytes(record.data(), record.size()));
  int fd = open((dir.path() + "/content").c_str(), O_RDONLY);
  ASSERT_TRUE(writer.appendContent(fd, content.size()));
  close(fd);
  Chain chain{writer.finish()};
  EXPECT_EQ(shape(chain.head), (std::vector<ChunkShape>{{16000, 0}, {16000, 0}, {8100, 0}}));

  SnapshotReader reader(chain.head);
  std::string back(100, '\0');
  ASSERT_TRUE(reader.readBytes(back.data(), back.size()));
  EXPECT_EQ(back, record);
  std::string pieces;
  std::vector<size_t> sizes;
  const uint8_t* data;
  while (size_t got = reader.nextPiece(20000, data)) {
    pieces.append(reinterpret_cast<const char*>(data), got);
    sizes.push_back(got);
  }
  EXPECT_EQ(pieces, content);
  EXPECT_EQ(sizes, (std::vector<size_t>{15900, 16000, 8100})) << "one piece per chunk";
}

TEST(SnapshotStream, ContentEndingOnAChunkBoundaryChainsNoEmptyChunk) {
  ScratchDirectory dir;
  writeFile(dir.path() + "/exact", pattern(32000, 1));
  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  int fd = open((dir.path() + "/exact").c_str(), O_RDONLY);
  ASSERT_TRUE(writer.appendContent(fd, 32000));
  close(fd);
  Chain chain{writer.finish()};
  EXPECT_EQ(shape(chain.head), (std::vector<ChunkShape>{{16000, 0}, {16000, 0}}));
}

TEST(SnapshotStream, ContentOfAnotherSizeThanExpectedFails) {
  ScratchDirectory dir;
  writeFile(dir.path() + "/file", pattern(5000, 1));
  for (uint64_t expected : {4999u, 5001u, 0u}) {
    SnapshotWriter writer;
    ASSERT_TRUE(writer.start());
    int fd = open((dir.path() + "/file").c_str(), O_RDONLY);
    EXPECT_FALSE(writer.appendContent(fd, expected)) << expected;
    close(fd);
  }
  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  int fd = open(dir.path().c_str(), O_RDONLY);  // reading a directory is an error
  EXPECT_FALSE(writer.appendContent(fd, 10));
  close(fd);
}

TEST(SnapshotStream, ReaderStepsOverEmptyChunksAndStopsAtDamage) {
  SnapshotWriter writer;
  ASSERT_TRUE(writer.start());
  Chain empty{writer.finish()};
  SnapshotReader emptyReader(empty.head);
  EXPECT_TRUE(emptyReader.atEnd()) << "a sealed empty chunk is an empty stream";

  SnapshotWriter second;
  ASSERT_TRUE(second.start());
  ASSERT_TRUE(second.appendBytes("no terminator", 13));
  Chain damaged{second.finish()};
  SnapshotReader reader(damaged.head);
  EXPECT_EQ(reader.readString(), nullptr) << "a string must end within its chunk";
}

}  // namespace
