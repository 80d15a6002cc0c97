#include "flows/file_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "scratch_directory.h"

namespace {

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  ASSERT_EQ(fclose(file), 0);
}

// The image read back in pieces of `step`, and the sizes of the pieces.
std::string drain(FileImage& image, size_t step, std::vector<size_t>* pieces) {
  std::string out;
  std::string buffer(step, '\0');
  while (size_t count = image.readChunk(buffer.data(), step)) {
    pieces->push_back(count);
    out.append(buffer.data(), count);
  }
  return out;
}

// Loads `bytes` through a pipe while the image expects `size` bytes.
bool loadThroughPipe(FileImage& image, const std::string& bytes, uint32_t size) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  bool loaded = image.loadDescriptor(fds[0], size);
  close(fds[0]);
  return loaded;
}

TEST(FileImage, WholeFileComesBackInPiecesOfAtMostTheAskedSize) {
  ScratchDirectory scratch;
  std::string bytes = pattern(10000);
  writeFile(scratch / "package.bdl", bytes);
  FileImage image;
  ASSERT_TRUE(image.loadFile((scratch / "package.bdl").c_str()));
  EXPECT_EQ(image.size(), 10000u);
  std::vector<size_t> pieces;
  EXPECT_EQ(drain(image, 4096, &pieces), bytes);
  EXPECT_EQ(pieces, (std::vector<size_t>{4096, 4096, 1808}));
  EXPECT_EQ(image.readChunk(nullptr, 4096), 0u) << "stays at the end";
  image.release();
  EXPECT_EQ(image.size(), 0u);
  EXPECT_EQ(image.data(), nullptr);
}

TEST(FileImage, EmptyFileIsAnEmptyImage) {
  ScratchDirectory scratch;
  writeFile(scratch / "autorun.scr", "");
  FileImage image;
  ASSERT_TRUE(image.loadFile((scratch / "autorun.scr").c_str()));
  EXPECT_EQ(image.size(), 0u);
  EXPECT_EQ(image.data(), nullptr);
  char byte;
  EXPECT_EQ(image.readChunk(&byte, 1), 0u);
}

TEST(FileImage, AFileThatIsNotAsLongAsItsSizeSaidIsRefusedAndNothingKept) {
  ScratchDirectory scratch;
  writeFile(scratch / "old", pattern(300));
  FileImage image;
  ASSERT_TRUE(image.loadFile((scratch / "old").c_str()));

  // Shorter: the end of the data before the size was reached, no endless wait.
  EXPECT_FALSE(loadThroughPipe(image, pattern(100), 200));
  EXPECT_EQ(image.size(), 0u) << "the earlier content is gone too";
  EXPECT_EQ(image.data(), nullptr);
  // Longer: the bytes past the size are not taken for the end of the file.
  EXPECT_FALSE(loadThroughPipe(image, pattern(300), 200));
  EXPECT_EQ(image.size(), 0u);
  EXPECT_TRUE(loadThroughPipe(image, pattern(200), 200));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()), image.size()), pattern(200));

  EXPECT_FALSE(image.loadFile((scratch / "missing").c_str()));
  EXPECT_EQ(image.size(), 0u);
}

}  // namespace
