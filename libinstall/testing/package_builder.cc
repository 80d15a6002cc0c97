#include "package_builder.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "archive_writer.h"
#include "gzip_stream.h"
#include "package_signing.h"

namespace package_testing {
namespace {

class StringSink : public libinstall::ByteSink {
 public:
  bool write(const char* data, size_t size) override {
    text.append(data, size);
    return true;
  }
  const std::string& error() const override { return error_; }
  std::string text;

 private:
  std::string error_;
};

constexpr int64_t kSomeTime = 1700000000;

TestMember make(const std::string& path, libinstall::MemberType type, uint32_t mode) {
  TestMember m;
  m.member.path = path;
  m.member.type = type;
  m.member.mode = mode;
  m.member.mtimeSeconds = kSomeTime;
  return m;
}

}  // namespace

MemorySource::MemorySource(std::string data, size_t step) : data_(std::move(data)), step_(step) {}

long MemorySource::read(char* buffer, size_t size) {
  size_t n = std::min({size, step_, data_.size() - pos_});
  memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return static_cast<long>(n);
}

TestMember TestMember::file(const std::string& path, const std::string& data, uint32_t mode) {
  TestMember m = make(path, libinstall::MemberType::Regular, mode);
  m.data = data;
  m.member.size = data.size();
  return m;
}

TestMember TestMember::directory(const std::string& path, uint32_t mode) {
  return make(path, libinstall::MemberType::Directory, mode);
}

TestMember TestMember::symlink(const std::string& path, const std::string& target) {
  TestMember m = make(path, libinstall::MemberType::Symlink, 0777);
  m.member.linkTarget = target;
  return m;
}

TestMember TestMember::hardLink(const std::string& path, const std::string& target) {
  TestMember m = make(path, libinstall::MemberType::HardLink, 0644);
  m.member.linkTarget = target;
  return m;
}

libinstall::PackageMetadata metadataNamed(const std::string& name,
                                          const std::vector<std::string>& depends) {
  libinstall::PackageMetadata metadata;
  metadata.name = name;
  metadata.version = "1.0";
  metadata.description = "test package " + name;
  metadata.depends = depends;
  return metadata;
}

std::string buildArchive(const std::string& metadataText, const std::vector<TestMember>& members) {
  StringSink sink;
  libinstall::ArchiveWriter writer(sink);
  std::vector<TestMember> all;
  if (!metadataText.empty()) {
    all.push_back(TestMember::file(libinstall::kMetadataMember, metadataText));
  }
  all.insert(all.end(), members.begin(), members.end());
  for (const TestMember& m : all) {
    if (!writer.beginMember(m.member) || !writer.writeData(m.data.data(), m.data.size()) ||
        !writer.endMember()) {
      throw std::runtime_error("building a test archive: " + writer.error());
    }
  }
  (void)writer.finish();  // a string sink cannot fail
  return sink.text;
}

std::string gzipBytes(const std::string& raw, int level) {
  std::ostringstream out;
  libinstall::GzipWriter gzip(out, level);
  if (!gzip.write(raw.data(), raw.size()) || !gzip.finish()) {
    throw std::runtime_error("compressing a test archive");
  }
  return out.str();
}

std::string buildPackage(const libinstall::PackageMetadata& metadata,
                         const std::vector<TestMember>& members) {
  return gzipBytes(buildArchive(libinstall::formatMetadata(metadata), members));
}

std::string signatureTextFor(const std::string& package, const libinstall::SecretKey& key,
                             uint32_t chunkSize) {
  MemorySource source(package);
  libinstall::SignatureHead head;
  head.signer = key.publicKey();
  head.chunkSize = chunkSize;
  std::vector<libinstall::Digest> chunks;
  std::string error;
  if (!libinstall::hashChunks(source, chunkSize, &head.length, &chunks, &error)) {
    throw std::runtime_error("hashing a test package: " + error);
  }
  return libinstall::signatureText(head, chunks, key);
}

std::string withSignature(const std::string& text, const std::string& package) {
  std::string member, error;
  if (!libinstall::signatureMember(text, &member, &error)) {
    throw std::runtime_error("making a signature member: " + error);
  }
  return member + package;
}

std::string signedPackage(const std::string& package, const libinstall::SecretKey& key,
                          uint32_t chunkSize) {
  return withSignature(signatureTextFor(package, key, chunkSize), package);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/pkgtest.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() { removeTree(path_); }

void removeTree(const std::string& path) {
  // Directories a test made unwritable must still go.
  nftw(
      path.c_str(),
      [](const char* p, const struct stat* st, int type, FTW*) {
        if (type == FTW_D) (void)chmod(p, st->st_mode | 0700);
        return 0;
      },
      16, FTW_PHYS);
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p) == 0 ? 0 : 0; },
      16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace package_testing
