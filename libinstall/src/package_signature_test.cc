// Signed packages: what the installer child takes and refuses when it is
// given a key, and that nothing of a chunk that fails its digest is handed
// on to be unpacked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "chunk_verifier.h"
#include "libinstall/package_info.h"
#include "package_builder.h"
#include "package_database.h"
#include "package_stream.h"
#include "tree_compare.h"

namespace libinstall {
namespace {

using package_testing::buildPackage;
using package_testing::metadataNamed;
using package_testing::signatureTextFor;
using package_testing::signedPackage;
using package_testing::TempDir;
using package_testing::TestMember;
using package_testing::withSignature;

SecretKey newKey() {
  SecretKey key;
  EXPECT_TRUE(key.generate());
  return key;
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A fresh root for each installation; what it holds afterwards is compared.
struct Target {
  TempDir tmp;
  int installs = 0;
  std::string root;
  std::string error;

  bool install(const std::string& bytes, const PackageKey* key) {
    root = tmp / std::to_string(++installs);
    mkdir(root.c_str(), 0755);
    RootDir dir;
    if (!dir.open(root, &error) || !prepareDatabase(dir, &error)) return false;
    StreamInstallOptions options;
    options.requiredKey = key;
    std::istringstream in(bytes);
    PackageMetadata metadata;
    return installPackageStream(in, dir, options, &metadata, &error);
  }
  // Installed paths, the package database left out.
  std::map<std::string, package_testing::TreeEntry> files() const {
    auto tree = package_testing::snapshotTree(root);
    for (const char* db : {"var", "var/pdb", "var/pdb/pkg"}) tree.erase(db);
    return tree;
  }
};

const std::vector<TestMember> kMembers = {TestMember::directory("etc"),
                                          TestMember::file("etc/conf", "setting=1\n"),
                                          TestMember::file("bin/tool", randomBytes(20000, 1))};

TEST(SignedPackage, TakenWithItsKeyOrWithoutAnyUnsignedOnlyWithout) {
  SecretKey key = newKey(), other = newKey();
  std::string plain = buildPackage(metadataNamed("pkg"), kMembers);
  std::string good = signedPackage(plain, key);
  Target target;

  ASSERT_TRUE(target.install(good, &key.publicKey())) << target.error;
  EXPECT_EQ(package_testing::readFile(target.root + "/bin/tool"), kMembers[2].data);
  EXPECT_EQ(target.files().count(".bdlsig"), 0u) << "the signature is no file of the system";
  EXPECT_TRUE(package_testing::readFile(target.root + "/var/pdb/pkg").find("/bin/tool\n") !=
              std::string::npos);
  EXPECT_TRUE(target.install(good, nullptr)) << "no key required: " << target.error;
  EXPECT_TRUE(target.install(plain, nullptr)) << target.error;

  EXPECT_FALSE(target.install(plain, &key.publicKey()));
  EXPECT_EQ(target.error, "package not signed (only packages signed with key " +
                              key.publicKey().id() + " are accepted)");
  EXPECT_TRUE(target.files().empty());

  EXPECT_FALSE(target.install(signedPackage(plain, other), &key.publicKey()));
  EXPECT_EQ(target.error, "signed with key " + other.publicKey().id() +
                              ", not with the required key " + key.publicKey().id());
  EXPECT_TRUE(target.files().empty());

  // The installer's menu reads a signed package's metadata as any other.
  TempDir tmp;
  package_testing::writeFile(tmp / "pkg.bdl", good);
  PackageFile file;
  EXPECT_TRUE(file.readFrom(tmp / "pkg.bdl"));
  EXPECT_EQ(file.getFullName(), "pkg-1.0");
}

// One byte changed in the signed text, in the package's data or in its
// metadata: refused, with nothing installed.
TEST(SignedPackage, OneChangedByteInAnyRegionIsRefused) {
  SecretKey key = newKey();
  std::string plain = buildPackage(metadataNamed("pkg"), kMembers);
  const std::string text = signatureTextFor(plain, key);
  auto changed = [](std::string s, size_t at) {
    s[at] = s[at] == '0' ? '1' : '0';
    return s;
  };
  size_t keyDigit = text.find("key: ") + 15;
  size_t secondChunk = text.find("chunk: ", text.find("chunk: ") + 1) + 7;
  size_t signature = text.find("signature: ") + 11;
  size_t metadata = plain.size() / 100;  // inside the compressed .bdlinfo
  struct Case {
    const char* region;
    std::string bytes;
    std::string error;
  };
  const std::string mismatch = "signature does not match (damaged or altered package)";
  const std::vector<Case> cases = {
      {"signer", withSignature(changed(text, keyDigit), plain), mismatch},
      {"chunk table", withSignature(changed(text, secondChunk + 9), plain), mismatch},
      {"signature", withSignature(changed(text, signature + 30), plain), mismatch},
      {"metadata", withSignature(text, changed(plain, metadata)), "data does not match"},
  };
  for (const Case& c : cases) {
    Target target;
    EXPECT_FALSE(target.install(c.bytes, &key.publicKey())) << c.region;
    EXPECT_EQ(target.error.substr(0, c.error.size()), c.error) << c.region;
    EXPECT_TRUE(target.files().empty()) << c.region;
  }
}

// Files stored as they are (gzip level 0), so that a byte of one file's data
// can be found in the package and changed.
TEST(SignedPackage, NothingOfAChangedChunkIsWritten) {
  SecretKey key = newKey();
  std::vector<TestMember> members;
  for (int i = 0; i < 8; ++i) {
    members.push_back(TestMember::file("f" + std::to_string(i), randomBytes(10000, 10 + i)));
  }
  std::string plain = package_testing::gzipBytes(
      package_testing::buildArchive(formatMetadata(metadataNamed("pkg")), members), 0);
  std::string text = signatureTextFor(plain, key);
  size_t at = plain.find(members[5].data.substr(0, 64)) + 5000;
  ASSERT_LT(at, plain.size());
  plain[at] ^= 1;
  uint64_t badChunkStart = at / kMinChunkSize * kMinChunkSize;

  Target target;
  EXPECT_FALSE(target.install(withSignature(text, plain), &key.publicKey()));
  EXPECT_NE(target.error.find("member \"f5\": data does not match the signature in chunk " +
                              std::to_string(at / kMinChunkSize + 1) + " "),
            std::string::npos)
      << target.error;
  auto files = target.files();
  for (size_t i = 0; i < members.size(); ++i) {
    std::string name = "f" + std::to_string(i);
    size_t end = plain.find(members[i].data.substr(0, 64)) + members[i].data.size();
    EXPECT_EQ(files.count(name), end <= badChunkStart ? 1u : 0u) << name;
    if (files.count(name)) {
      EXPECT_EQ(package_testing::readFile(target.root + "/" + name), members[i].data) << name;
    }
  }
  EXPECT_EQ(files.size(), 5u) << "f5, which holds the changed byte, and what follows are not in";
}

// Reads everything the verifier hands out.
std::string drain(ChunkVerifier& verifier, std::string* error) {
  std::string out;
  char buffer[1000];
  long n;
  while ((n = verifier.read(buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  *error = n < 0 ? verifier.error() : "";
  return out;
}

TEST(ChunkVerifier, HandsOutCheckedChunksOnlyAndEndsAtTheFirstBadOne) {
  const uint32_t size = kMinChunkSize;
  std::string data = randomBytes(10 * size + 100, 3);
  std::vector<Digest> chunks;
  for (size_t at = 0; at < data.size(); at += size) {
    chunks.push_back(sha256(data.data() + at, std::min<size_t>(size, data.size() - at)));
  }
  auto run = [&](const std::string& bytes, std::string* error) {
    package_testing::MemorySource source(bytes, 777);
    ChunkVerifier verifier(source, size, data.size(), chunks);
    return drain(verifier, error);
  };
  std::string error;
  EXPECT_EQ(run(data + std::string(3000, '\0'), &error), data) << "padding after the data";
  EXPECT_EQ(error, "");

  std::string bad = data;
  bad[4 * size + 17] ^= 0x20;
  EXPECT_EQ(run(bad, &error), data.substr(0, 4 * size));
  EXPECT_EQ(error, "data does not match the signature in chunk 5 of 11 (bytes 16384 to 20479 "
                   "after the signature): damaged or altered package");
  EXPECT_EQ(run(data.substr(0, data.size() - 1), &error), data.substr(0, 10 * size));
  EXPECT_EQ(error, "package ends inside its signed data (truncated)");
  EXPECT_EQ(run(data + std::string("\0\0x", 3), &error), data);
  EXPECT_EQ(error, "unexpected data after the signed data");

  // A reader that stops early does not wait for the rest.
  package_testing::MemorySource source(data);
  ChunkVerifier early(source, size, data.size(), chunks);
  char byte;
  EXPECT_EQ(early.read(&byte, 1), 1);
}

}  // namespace
}  // namespace libinstall

namespace libinstall {
namespace {

// Sizes and key files made to break the readers before any signature is
// checked: each is refused with its line, nothing thrown, nothing reserved
// for what the bytes only declare (the fuzz targets hold the same inputs as
// regression seeds, under an allocation bound).
TEST(HostileText, DeclaredSizesAndBrokenKeyFilesAreRefusedNotThrown) {
  const std::string head = std::string(kSignatureFormatLine) + "\nkey: " + std::string(64, 'a') +
                           "\nchunk-size: 4096\n";
  for (const char* length : {"9999999999999999999", "274877906944", "268435457"}) {
    SignatureReader reader;
    std::string error;
    EXPECT_FALSE(reader.feed((head + "length: " + length + "\n").data(),
                             head.size() + 9 + strlen(length), &error))
        << length;
    EXPECT_EQ(error, "damaged signature (line 4)") << length;
    EXPECT_EQ(reader.chunks().capacity(), 0u) << length << ": room reserved for a refused count";
  }
  // The same head as a whole package file on a medium.
  TempDir tmp;
  std::string path = tmp / "crafted.bdl";
  std::ofstream(path) << withSignature(head + "length: 9999999999999999999\n", "");
  PackageFile file;
  EXPECT_FALSE(file.readFrom(path));

  const std::string key = "key: " + std::string(64, 'a');
  for (const std::string& text : {std::string("format: bdl-public-key 1"),
                                  std::string("format: bdl-public-key 1\n"),
                                  std::string("format: bdl-public-key 1\nkey: aa"),
                                  "format: bdl-public-key 1\n" + key + "\n" + key + "\n"}) {
    PackageKey parsed;
    std::string error;
    EXPECT_FALSE(parsed.parse(text, &error)) << text;
    EXPECT_EQ(error, "not a public key file (bdl keygen writes them)") << text;
  }
}

}  // namespace
}  // namespace libinstall
