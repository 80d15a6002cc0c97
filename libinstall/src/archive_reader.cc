#include "archive_reader.h"

#include <algorithm>
#include <memory>

#include "message_text.h"
#include "package_limits.h"

namespace libinstall {
namespace {
uint64_t paddingFor(uint64_t size) { return (kBlockSize - size % kBlockSize) % kBlockSize; }
}  // namespace

const char* memberTypeName(MemberType type) {
  switch (type) {
    case MemberType::Regular: return "file";
    case MemberType::Directory: return "directory";
    case MemberType::Symlink: return "symbolic link";
    case MemberType::HardLink: return "hard link";
  }
  return "member";
}

int ArchiveReader::fail(const std::string& message) {
  error_ = message;
  return -1;
}

bool ArchiveReader::skipRemainingData() {
  char scratch[4096];
  while (remaining_ + padding_ > 0) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining_ + padding_, sizeof scratch));
    if (!readExactly(source_, scratch, chunk, &error_)) return false;
    uint64_t fromData = std::min<uint64_t>(chunk, remaining_);
    remaining_ -= fromData;
    padding_ -= chunk - fromData;
  }
  return true;
}

bool ArchiveReader::readExtended(uint64_t size, std::string* text) {
  if (size > kMaxExtendedHeader) {
    error_ = "oversized extended header";
    return false;
  }
  text->assign(static_cast<size_t>(size), '\0');
  if (!readExactly(source_, &(*text)[0], text->size(), &error_)) return false;
  padding_ = paddingFor(size);
  return skipRemainingData();
}

void ArchiveReader::putBack(const Member& member) {
  returned_ = member;
  haveReturned_ = true;
}

int ArchiveReader::next(Member* member) {
  if (haveReturned_) {
    haveReturned_ = false;
    *member = returned_;
    return 1;
  }
  if (!skipRemainingData()) return -1;
  // Extended records gathered from headers that describe the next member.
  std::string paxRecords, longName, longLink;
  bool haveLongName = false, haveLongLink = false;
  char block[kBlockSize];
  for (;;) {
    if (!readExactly(source_, block, kBlockSize, &error_)) {
      if (error_ == kUnexpectedEnd) error_ = "package ends before its end marker (truncated)";
      return -1;
    }
    if (isZeroBlock(block)) return endMarker();
    HeaderFields fields;
    if (!decodeHeader(block, &fields, &error_)) return -1;
    switch (fields.typeFlag) {
      case tarType::kPaxMember: {
        std::string more;
        if (!readExtended(fields.size, &more)) return -1;
        paxRecords += more;
        // Header after header must not add up to what one may not hold.
        if (paxRecords.size() > kMaxExtendedHeader) return fail("oversized extended header");
        continue;
      }
      case tarType::kPaxGlobal: {
        std::string ignored;  // archive-wide defaults carry nothing packages use
        if (!readExtended(fields.size, &ignored)) return -1;
        continue;
      }
      case tarType::kGnuLongName:
      case tarType::kGnuLongLink: {
        std::string text;
        if (!readExtended(fields.size, &text)) return -1;
        text.resize(std::min(text.size(), text.find('\0')));
        if (fields.typeFlag == tarType::kGnuLongName) {
          longName = text;
          haveLongName = true;
        } else {
          longLink = text;
          haveLongLink = true;
        }
        continue;
      }
      default: break;
    }

    *member = Member();
    member->path = haveLongName ? longName : fields.name;
    member->linkTarget = haveLongLink ? longLink : fields.linkName;
    member->mode = fields.mode;
    member->uid = fields.uid;
    member->gid = fields.gid;
    member->size = fields.size;
    member->mtimeSeconds = fields.mtime;
    switch (fields.typeFlag) {
      case tarType::kRegular:
      case tarType::kRegularOld:
      case tarType::kContiguous:
        member->type = MemberType::Regular;
        break;
      case tarType::kHardLink: member->type = MemberType::HardLink; break;
      case tarType::kSymlink: member->type = MemberType::Symlink; break;
      case tarType::kDirectory: member->type = MemberType::Directory; break;
      case tarType::kCharDevice:
      case tarType::kBlockDevice:
      case tarType::kFifo:
        return fail("member " + quotedName(member->path) +
                    ": device or fifo members are not supported in packages");
      default:
        return fail("member " + quotedName(member->path) + ": unknown member type '" +
                    std::string(1, fields.typeFlag) + "'");
    }
    if (!applyPaxRecords(paxRecords, member, &error_)) return -1;
    // A size beyond any file would wrap the count of bytes to skip, and the
    // data would be read as members; ids beyond the system's would be cut to
    // other ids, or to "leave unchanged".
    if (member->size > kMaxMemberSize) {
      return fail("member " + quotedName(member->path) + ": impossible size " +
                  std::to_string(member->size));
    }
    if (member->uid > kMaxOwnerId || member->gid > kMaxOwnerId) {
      return fail("member " + quotedName(member->path) + ": owner or group id out of range");
    }
    // Old archives mark directories only by a trailing slash.
    if (member->type == MemberType::Regular && !member->path.empty() &&
        member->path.back() == '/') {
      member->type = MemberType::Directory;
    }
    remaining_ = member->size;
    padding_ = paddingFor(member->size);
    if (member->type != MemberType::Regular) {
      // Links and directories carry no data; skip whatever a writer put there.
      member->size = 0;
    }
    return 1;
  }
}

long ArchiveReader::readData(char* buffer, size_t size) {
  if (remaining_ == 0) return 0;
  size_t want = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
  long n = source_.read(buffer, want);
  if (n < 0) {
    error_ = source_.error();
    return -1;
  }
  if (n == 0) {
    error_ = "unexpected end of data inside a member (truncated package)";
    return -1;
  }
  remaining_ -= static_cast<uint64_t>(n);
  return n;
}

int ArchiveReader::endMarker() {
  // Two zero blocks end an archive. One alone, with more members after it,
  // would hide them: readers that stop there and readers that go on would
  // see different packages.
  char block[kBlockSize];
  if (!readExactly(source_, block, kBlockSize, &error_)) {
    if (error_ == kUnexpectedEnd) error_ = "package ends before its end marker (truncated)";
    return -1;
  }
  if (!isZeroBlock(block)) return fail("damaged archive: more data after a lone zero block");
  return 0;
}

bool ArchiveReader::drain() {
  char scratch[4096];
  for (;;) {
    long n = source_.read(scratch, sizeof scratch);
    if (n < 0) {
      error_ = source_.error();
      return false;
    }
    if (n == 0) return true;
    for (long i = 0; i < n; ++i) {
      if (scratch[i] != 0) {
        error_ = "unexpected data after the archive's end marker";
        return false;
      }
    }
  }
}

}  // namespace libinstall
