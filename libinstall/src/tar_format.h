#pragma once
// The tar layer of a package: POSIX ustar headers with pax extended records
// for what a header cannot hold (long paths and link targets, large sizes and
// ids, times with nanoseconds). GNU long-name records are read as well, so
// archives made by GNU tar can be read.

#include <cstddef>
#include <cstdint>
#include <string>

namespace libinstall {

constexpr size_t kBlockSize = 512;

enum class MemberType { Regular, Directory, Symlink, HardLink };

// One archive member as the archive describes it; nothing is checked here
// about whether its path is safe to install.
struct Member {
  std::string path;
  MemberType type = MemberType::Regular;
  uint32_t mode = 0;  // permission bits with set-id and sticky bits (07777)
  uint64_t uid = 0;
  uint64_t gid = 0;
  int64_t mtimeSeconds = 0;
  uint32_t mtimeNanoseconds = 0;
  uint64_t size = 0;       // bytes of data that follow (regular files)
  std::string linkTarget;  // symbolic link text, or the path a hard link names
};

// Type flags of the header blocks.
namespace tarType {
constexpr char kRegular = '0';
constexpr char kRegularOld = '\0';
constexpr char kHardLink = '1';
constexpr char kSymlink = '2';
constexpr char kCharDevice = '3';
constexpr char kBlockDevice = '4';
constexpr char kDirectory = '5';
constexpr char kFifo = '6';
constexpr char kContiguous = '7';
constexpr char kPaxMember = 'x';
constexpr char kPaxGlobal = 'g';
constexpr char kGnuLongName = 'L';
constexpr char kGnuLongLink = 'K';
}  // namespace tarType

// The fields of one header block, decoded but not yet interpreted.
struct HeaderFields {
  std::string name;  // prefix and name joined
  std::string linkName;
  uint32_t mode = 0;
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint64_t size = 0;
  int64_t mtime = 0;
  char typeFlag = tarType::kRegular;
};

bool isZeroBlock(const char* block);

// Decodes a header block: checks the checksum and the ustar magic and parses
// the numeric fields (octal or base-256). False with *error when the block is
// not a valid header.
bool decodeHeader(const char* block, HeaderFields* fields, std::string* error);

// Fills `block` with a ustar header. Fields that do not fit are cut; the
// caller puts them in a pax record first (see needsPax).
void encodeHeader(const HeaderFields& fields, char* block);

// The pax records `member` needs beyond a plain header ("" when none).
std::string paxRecordsFor(const Member& member, const std::string& headerPath);
// One record: "<length> <key>=<value>\n".
std::string paxRecord(const std::string& key, const std::string& value);

// Applies the records of a pax extended header to `member`. Unknown keys are
// ignored. False with *error for malformed records or values.
bool applyPaxRecords(const std::string& records, Member* member, std::string* error);

// Parses a decimal time "seconds[.fraction]" (fraction cut to nanoseconds).
bool parsePaxTime(const std::string& text, int64_t* seconds, uint32_t* nanoseconds);

}  // namespace libinstall
