#include "archive_writer.h"

#include <cstring>

namespace libinstall {
namespace {
char typeFlagOf(MemberType type) {
  switch (type) {
    case MemberType::Regular: return tarType::kRegular;
    case MemberType::Directory: return tarType::kDirectory;
    case MemberType::Symlink: return tarType::kSymlink;
    case MemberType::HardLink: return tarType::kHardLink;
  }
  return tarType::kRegular;
}

// Name of the pax header member: readers that do not know pax extract it as
// a plain file, so it says what it is.
std::string paxHeaderName(const std::string& path) {
  std::string name = "PaxHeaders/" + path.substr(path.find_last_of('/', path.size() - 2) + 1);
  return name.substr(0, 99);
}
}  // namespace

bool ArchiveWriter::put(const char* data, size_t size) {
  if (!sink_.write(data, size)) {
    error_ = sink_.error();
    return false;
  }
  return true;
}

bool ArchiveWriter::beginMember(const Member& member) {
  std::string path = member.path;
  if (member.type == MemberType::Directory && (path.empty() || path.back() != '/')) path += '/';
  std::string records = paxRecordsFor(member, path);
  char block[kBlockSize];
  if (!records.empty()) {
    HeaderFields pax;
    pax.name = paxHeaderName(path);
    pax.mode = 0644;
    pax.size = records.size();
    pax.mtime = member.mtimeSeconds > 0 ? member.mtimeSeconds : 0;
    pax.typeFlag = tarType::kPaxMember;
    encodeHeader(pax, block);
    if (!put(block, kBlockSize) || !put(records.data(), records.size())) return false;
    size_t padding = (kBlockSize - records.size() % kBlockSize) % kBlockSize;
    memset(block, 0, kBlockSize);
    if (!put(block, padding)) return false;
  }
  HeaderFields fields;
  fields.name = path;
  fields.linkName = member.linkTarget;
  fields.mode = member.mode & 07777;
  fields.uid = member.uid;
  fields.gid = member.gid;
  fields.size = member.type == MemberType::Regular ? member.size : 0;
  fields.mtime = member.mtimeSeconds;
  fields.typeFlag = typeFlagOf(member.type);
  encodeHeader(fields, block);
  announced_ = fields.size;
  written_ = 0;
  return put(block, kBlockSize);
}

bool ArchiveWriter::writeData(const char* data, size_t size) {
  if (written_ + size > announced_) {
    error_ = "more data than the member's size";
    return false;
  }
  written_ += size;
  return put(data, size);
}

bool ArchiveWriter::endMember() {
  if (written_ != announced_) {
    error_ = "member data shorter than its size (file changed while packing?)";
    return false;
  }
  char zeros[kBlockSize] = {};
  return put(zeros, (kBlockSize - announced_ % kBlockSize) % kBlockSize);
}

bool ArchiveWriter::finish() {
  char zeros[2 * kBlockSize] = {};
  return put(zeros, sizeof zeros);
}

}  // namespace libinstall
