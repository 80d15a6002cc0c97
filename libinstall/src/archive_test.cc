#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "archive_writer.h"
#include "package_builder.h"

namespace libinstall {
namespace {

using package_testing::buildArchive;
using package_testing::MemorySource;
using package_testing::TestMember;

struct ReadMember {
  Member member;
  std::string data;
};

// Reads every member; returns false (with the error) when the reader fails.
bool readAll(ByteSource& source, std::vector<ReadMember>* out, std::string* error) {
  ArchiveReader reader(source);
  for (;;) {
    ReadMember m;
    int rc = reader.next(&m.member);
    if (rc < 0) {
      *error = reader.error();
      return false;
    }
    if (rc == 0) return true;
    char buffer[700];
    long n;
    while ((n = reader.readData(buffer, sizeof buffer)) > 0) m.data.append(buffer, n);
    if (n < 0) {
      *error = reader.error();
      return false;
    }
    out->push_back(m);
  }
}

std::vector<TestMember> sampleMembers() {
  TestMember longFile = TestMember::file(std::string(120, 'd') + "/" + std::string(90, 'f'),
                                         std::string(1500, 'x'), 0600);
  longFile.member.uid = 3000000;  // beyond the header's octal field
  longFile.member.gid = 77;
  longFile.member.mtimeNanoseconds = 123456789;
  TestMember longLink = TestMember::symlink("l", std::string(200, 't'));
  return {TestMember::directory("etc"),
          TestMember::file("etc/empty", ""),
          TestMember::file("etc/block", std::string(512, 'b')),
          longFile,
          longLink,
          TestMember::hardLink("etc/again", "etc/block")};
}

TEST(Archive, WrittenMembersReadBackWithAllTheirFields) {
  std::vector<TestMember> members = sampleMembers();
  for (size_t step : {size_t{1} << 20, size_t{1}, size_t{513}}) {
    MemorySource source(buildArchive("", members), step);
    std::vector<ReadMember> read;
    std::string error;
    ASSERT_TRUE(readAll(source, &read, &error)) << error;
    ASSERT_EQ(read.size(), members.size());
    for (size_t i = 0; i < members.size(); ++i) {
      const Member& want = members[i].member;
      const Member& got = read[i].member;
      std::string wantPath = want.path + (want.type == MemberType::Directory ? "/" : "");
      EXPECT_EQ(got.path, wantPath);
      EXPECT_EQ(got.type, want.type);
      EXPECT_EQ(got.mode, want.mode);
      EXPECT_EQ(got.uid, want.uid);
      EXPECT_EQ(got.gid, want.gid);
      EXPECT_EQ(got.mtimeSeconds, want.mtimeSeconds);
      EXPECT_EQ(got.mtimeNanoseconds, want.mtimeNanoseconds);
      EXPECT_EQ(got.linkTarget, want.linkTarget);
      EXPECT_EQ(read[i].data, members[i].data);
    }
  }
}

TEST(Archive, EveryTruncationIsAnErrorNeverAShortSuccess) {
  std::string archive = buildArchive("", sampleMembers());
  // Cut anywhere before the end marker: the reader must fail.
  size_t endMarker = archive.size() - 2 * kBlockSize;
  for (size_t cut = 0; cut < endMarker; cut += 97) {
    MemorySource source(archive.substr(0, cut));
    std::vector<ReadMember> read;
    std::string error;
    EXPECT_FALSE(readAll(source, &read, &error)) << "cut at " << cut;
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;
  }
}

TEST(Archive, DevicesFifosAndUnknownTypesAreRefused) {
  for (char type : {tarType::kCharDevice, tarType::kBlockDevice, tarType::kFifo, 'Z'}) {
    HeaderFields f;
    f.name = "dev/thing";
    f.typeFlag = type;
    std::string archive(kBlockSize, '\0');
    encodeHeader(f, &archive[0]);
    archive += std::string(2 * kBlockSize, '\0');
    MemorySource source(archive);
    std::vector<ReadMember> read;
    std::string error;
    EXPECT_FALSE(readAll(source, &read, &error)) << type;
  }
}

TEST(Archive, GnuLongNamesAndIgnoredGlobalHeadersAreRead) {
  std::string longName(300, 'n');
  std::string archive;
  auto header = [&archive](const std::string& name, char type, size_t size) {
    HeaderFields f;
    f.name = name;
    f.typeFlag = type;
    f.size = size;
    f.mode = 0644;
    char block[kBlockSize];
    encodeHeader(f, block);
    archive.append(block, kBlockSize);
  };
  auto data = [&archive](const std::string& bytes) {
    archive += bytes;
    archive.append((kBlockSize - bytes.size() % kBlockSize) % kBlockSize, '\0');
  };
  header("pax_global_header", tarType::kPaxGlobal, 20);
  data("20 comment=ignored\n\n");
  header("././@LongLink", tarType::kGnuLongName, longName.size() + 1);
  data(longName + '\0');
  header("short", tarType::kRegular, 3);
  data("abc");
  archive += std::string(2 * kBlockSize, '\0');
  MemorySource source(archive);
  std::vector<ReadMember> read;
  std::string error;
  ASSERT_TRUE(readAll(source, &read, &error)) << error;
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].member.path, longName);
  EXPECT_EQ(read[0].data, "abc");
}

TEST(Archive, OversizedExtendedHeadersAreRefusedAloneOrPiledUp) {
  HeaderFields f;
  f.name = "PaxHeaders/x";
  f.typeFlag = tarType::kPaxMember;
  f.size = ArchiveReader::kMaxExtendedHeader + 1;
  std::string one(kBlockSize, '\0');
  encodeHeader(f, &one[0]);

  // Many small headers, each within the limit, that add up beyond it.
  std::string record = paxRecord("comment", std::string(500 * 1024 - 20, 'c'));
  f.size = record.size();
  std::string piled;
  for (int i = 0; i < 3; ++i) {
    std::string header(kBlockSize, '\0');
    encodeHeader(f, &header[0]);
    piled += header + record + std::string((kBlockSize - record.size() % kBlockSize) % kBlockSize, '\0');
  }
  for (const std::string& archive : {one, piled}) {
    MemorySource source(archive);
    std::vector<ReadMember> read;
    std::string error;
    EXPECT_FALSE(readAll(source, &read, &error));
    EXPECT_NE(error.find("oversized"), std::string::npos) << error;
  }
}

// A size of 2^64-1 made the skip of the data wrap to nothing, so the data
// was read as the next member.
TEST(Archive, SizesBeyondAnyFileAreRefused) {
  HeaderFields f;
  f.name = "dir/";
  f.typeFlag = tarType::kDirectory;
  f.size = UINT64_MAX;  // written base-256
  std::string archive(kBlockSize, '\0');
  encodeHeader(f, &archive[0]);
  archive += buildArchive("", {TestMember::file("planted", "x")});
  MemorySource source(archive);
  ArchiveReader reader(source);
  Member member;
  std::vector<std::string> seen;
  while (reader.next(&member) == 1) seen.push_back(member.path);  // data left unread
  EXPECT_TRUE(seen.empty()) << seen.size() << " members, the last " << seen.back();
  EXPECT_NE(reader.error().find("impossible size"), std::string::npos) << reader.error();
}

// 2^32 was cut to root; 2^32-1 means "leave the owner unchanged".
TEST(Archive, OwnerIdsBeyondTheSystemsAreRefused) {
  for (uint64_t id : {uint64_t{4294967295u}, uint64_t{4294967296u}}) {
    for (bool group : {false, true}) {
      TestMember m = TestMember::file("f", "x");
      (group ? m.member.gid : m.member.uid) = id;
      MemorySource source(buildArchive("", {m}));
      std::vector<ReadMember> read;
      std::string error;
      EXPECT_FALSE(readAll(source, &read, &error)) << id;
      EXPECT_NE(error.find("id out of range"), std::string::npos) << error;
    }
  }
  TestMember highest = TestMember::file("f", "x");
  highest.member.uid = highest.member.gid = 4294967294u;
  MemorySource source(buildArchive("", {highest}));
  std::vector<ReadMember> read;
  std::string error;
  EXPECT_TRUE(readAll(source, &read, &error)) << error;
}

}  // namespace
}  // namespace libinstall
