// The first sector on image files. The boot code itself runs in QEMU
// (tests/bootcode).
#include "disk/boot_sector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>
#include <string>

#include "disk_test_support.h"

namespace {

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(BootCode, IsTheAssembledBlockWithItsMessagesAtTheEnd) {
  std::string assembled = readFile(KORVANEL_BINARY_DIR "/bootcode.bin");
  ASSERT_EQ(assembled.size(), kBootCodeSize);
  EXPECT_EQ(memcmp(assembled.data(), bootCode, kBootCodeSize), 0);
  std::string code(reinterpret_cast<const char*>(bootCode), kBootCodeSize);
  size_t error = code.find(std::string("Error loading operating system\0", 31));
  size_t missing = code.find(std::string("Missing operating system\0", 25));
  ASSERT_NE(error, std::string::npos);
  ASSERT_NE(missing, std::string::npos);
  EXPECT_EQ(missing, error + 31) << "the two messages follow the code, in this order";
  EXPECT_EQ(code.find_first_not_of('\0', missing + 25), std::string::npos) << "then only zeros";
  EXPECT_EQ(bootCode[0], 0xFA) << "interrupts off first";
}

TEST(BootCode, LayingItKeepsTheTableAndSignatureByteForByte) {
  std::string original = randomBytes(kSectorSize, 1);
  original[510] = 0x12;  // no valid signature: kept all the same
  original[511] = 0x34;
  uint8_t sector[kSectorSize];
  memcpy(sector, original.data(), kSectorSize);
  layBootCode(sector);
  EXPECT_EQ(memcmp(sector, bootCode, kBootCodeSize), 0);
  for (size_t i = kBootCodeSize; i < kPartitionTableOffset; ++i) ASSERT_EQ(sector[i], 0) << i;
  EXPECT_EQ(memcmp(sector + kPartitionTableOffset, original.data() + kPartitionTableOffset,
                   kSectorSize - kPartitionTableOffset),
            0);
}

TEST(BootSector, InstallingRewritesOnlyTheCodeOfTheFirstSector) {
  ScratchDirectory dir;
  std::string image = dir.path() + "/disk.img";
  std::string original = randomBytes(1 << 20, 2);
  writeFile(image, original);

  std::string errors = captureStderr([&] { EXPECT_TRUE(installBootCode(image.c_str())); });
  EXPECT_EQ(errors, "");
  std::string after = readFile(image);
  ASSERT_EQ(after.size(), original.size()) << "the image must not be truncated";
  EXPECT_EQ(memcmp(after.data(), bootCode, kBootCodeSize), 0);
  EXPECT_EQ(after.find_first_not_of('\0', kBootCodeSize), kPartitionTableOffset);
  EXPECT_EQ(after.substr(kPartitionTableOffset), original.substr(kPartitionTableOffset));
}

TEST(BootSector, ReadFailuresAreReportedAndNothingIsWritten) {
  ScratchDirectory dir;
  std::string missing = dir.path() + "/none";
  std::string errors = captureStderr([&] { EXPECT_FALSE(installBootCode(missing.c_str())); });
  EXPECT_EQ(errors, "could not open MBR: No such file or directory\n");

  std::string shortDisk = dir.path() + "/short.img";
  writeFile(shortDisk, std::string(100, 'a'));
  errors = captureStderr([&] { EXPECT_FALSE(installBootCode(shortDisk.c_str())); });
  EXPECT_EQ(errors.rfind("could not read MBR: ", 0), 0u) << errors;
  EXPECT_EQ(readFile(shortDisk), std::string(100, 'a'));

  errors = captureStderr([&] {
    uint8_t sector[kSectorSize];
    EXPECT_FALSE(readBootSector(dir.path().c_str(), sector));
  });
  EXPECT_EQ(errors, "could not read MBR: Is a directory\n");
}

TEST(BootSector, WriteFailuresAreReported) {
  uint8_t sector[kSectorSize] = {};
  std::string errors = captureStderr([&] { EXPECT_FALSE(writeBootSector("/dev/full", sector)); });
  EXPECT_EQ(errors, "could not write MBR: No space left on device\n");

  ScratchDirectory dir;
  errors = captureStderr([&] { EXPECT_FALSE(writeBootSector(dir.path().c_str(), sector)); });
  EXPECT_EQ(errors, "could not open MBR: Is a directory\n");

}

}  // namespace
