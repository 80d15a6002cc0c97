#include "tar_format.h"

#include <cstring>

#include "text_fields.h"

namespace libinstall {
namespace {

// Field offsets and sizes of a ustar header block.
struct Field {
  size_t offset;
  size_t size;
};
constexpr Field kName{0, 100};
constexpr Field kMode{100, 8};
constexpr Field kUid{108, 8};
constexpr Field kGid{116, 8};
constexpr Field kSize{124, 12};
constexpr Field kMtime{136, 12};
constexpr Field kChecksum{148, 8};
constexpr Field kTypeFlag{156, 1};
constexpr Field kLinkName{157, 100};
constexpr Field kMagic{257, 6};
constexpr Field kVersion{263, 2};
constexpr Field kPrefix{345, 155};

constexpr char kUstarMagic[] = "ustar";  // POSIX: "ustar\0" "00"; GNU: "ustar " " \0"
constexpr unsigned char kBase256Marker = 0x80;

std::string textField(const char* block, Field f) {
  const char* start = block + f.offset;
  size_t length = strnlen(start, f.size);
  return std::string(start, length);
}

// Octal digits between optional blanks, or base-256 when the first byte has
// its top bit set (positive numbers only).
bool parseNumber(const char* block, Field f, uint64_t* value) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(block + f.offset);
  uint64_t result = 0;
  if (p[0] & kBase256Marker) {
    if (p[0] != kBase256Marker) return false;  // negative or reserved
    for (size_t i = 1; i < f.size; ++i) {
      if (result >> 56) return false;
      result = (result << 8) | p[i];
    }
    *value = result;
    return true;
  }
  size_t i = 0;
  while (i < f.size && p[i] == ' ') ++i;
  bool digits = false;
  for (; i < f.size && p[i] >= '0' && p[i] <= '7'; ++i) {
    if (result >> 61) return false;
    result = (result << 3) | static_cast<uint64_t>(p[i] - '0');
    digits = true;
  }
  for (; i < f.size; ++i) {
    if (p[i] != ' ' && p[i] != '\0') return false;
  }
  // An all-blank field counts as zero, as other readers take it.
  (void)digits;
  *value = result;
  return true;
}

unsigned int headerChecksum(const char* block, bool signedBytes) {
  unsigned int sum = 0;
  for (size_t i = 0; i < kBlockSize; ++i) {
    bool inChecksum = i >= kChecksum.offset && i < kChecksum.offset + kChecksum.size;
    int byte = signedBytes ? static_cast<signed char>(block[i])
                           : static_cast<unsigned char>(block[i]);
    sum += static_cast<unsigned int>(inChecksum ? ' ' : byte);
  }
  return sum;
}

void putText(char* block, Field f, const std::string& text) {
  memcpy(block + f.offset, text.data(), text.size() < f.size ? text.size() : f.size);
}

// Octal, zero-padded to fill the field but its terminating NUL; values too
// large for it are written as base-256.
void putNumber(char* block, Field f, uint64_t value) {
  const size_t digits = f.size - 1;
  if (digits * 3 >= 64 || value < (uint64_t{1} << (digits * 3))) {
    char* p = block + f.offset;
    for (size_t i = digits; i-- > 0;) {
      p[i] = static_cast<char>('0' + (value & 7));
      value >>= 3;
    }
    p[digits] = '\0';
    return;
  }
  unsigned char* p = reinterpret_cast<unsigned char*>(block + f.offset);
  memset(p, 0, f.size);
  p[0] = kBase256Marker;
  for (size_t i = f.size; i-- > 1 && value != 0;) {
    p[i] = static_cast<unsigned char>(value & 0xff);
    value >>= 8;
  }
}

constexpr uint64_t kMaxOctal7 = 07777777;        // 8-byte fields (ids)
constexpr uint64_t kMaxOctal11 = 077777777777;   // 12-byte fields (size, time)

}  // namespace

bool isZeroBlock(const char* block) {
  for (size_t i = 0; i < kBlockSize; ++i) {
    if (block[i] != 0) return false;
  }
  return true;
}

bool decodeHeader(const char* block, HeaderFields* fields, std::string* error) {
  uint64_t stored = 0;
  if (!parseNumber(block, kChecksum, &stored) ||
      (stored != headerChecksum(block, false) && stored != headerChecksum(block, true))) {
    *error = "damaged archive header (checksum mismatch)";
    return false;
  }
  if (memcmp(block + kMagic.offset, kUstarMagic, sizeof kUstarMagic - 1) != 0) {
    *error = "not a ustar archive header";
    return false;
  }
  uint64_t mode = 0, mtime = 0;
  if (!parseNumber(block, kMode, &mode) || !parseNumber(block, kUid, &fields->uid) ||
      !parseNumber(block, kGid, &fields->gid) || !parseNumber(block, kSize, &fields->size) ||
      !parseNumber(block, kMtime, &mtime)) {
    *error = "damaged archive header (bad number)";
    return false;
  }
  fields->mode = static_cast<uint32_t>(mode & 07777);
  fields->mtime = static_cast<int64_t>(mtime);
  fields->typeFlag = block[kTypeFlag.offset];
  fields->linkName = textField(block, kLinkName);
  std::string name = textField(block, kName);
  // GNU headers keep other data where POSIX keeps the prefix.
  bool posix = block[kMagic.offset + 5] == '\0';
  std::string prefix = posix ? textField(block, kPrefix) : std::string();
  fields->name = prefix.empty() ? name : prefix + "/" + name;
  return true;
}

void encodeHeader(const HeaderFields& fields, char* block) {
  memset(block, 0, kBlockSize);
  putText(block, kName, fields.name);
  putNumber(block, kMode, fields.mode);
  putNumber(block, kUid, fields.uid <= kMaxOctal7 ? fields.uid : 0);
  putNumber(block, kGid, fields.gid <= kMaxOctal7 ? fields.gid : 0);
  putNumber(block, kSize, fields.size);
  putNumber(block, kMtime,
            fields.mtime >= 0 && static_cast<uint64_t>(fields.mtime) <= kMaxOctal11
                ? static_cast<uint64_t>(fields.mtime)
                : 0);
  block[kTypeFlag.offset] = fields.typeFlag;
  putText(block, kLinkName, fields.linkName);
  memcpy(block + kMagic.offset, "ustar", 6);  // with its NUL
  memcpy(block + kVersion.offset, "00", 2);
  unsigned int sum = headerChecksum(block, false);
  // Six octal digits, NUL, blank: the customary form.
  char* p = block + kChecksum.offset;
  for (int i = 5; i >= 0; --i) {
    p[i] = static_cast<char>('0' + (sum & 7));
    sum >>= 3;
  }
  p[6] = '\0';
  p[7] = ' ';
}

std::string paxRecord(const std::string& key, const std::string& value) {
  // The length counts itself, so grow it until its own digits fit.
  size_t body = 1 + key.size() + 1 + value.size() + 1;
  size_t length = body + 1;
  while (std::to_string(length).size() + body != length) length = std::to_string(length).size() + body;
  return std::to_string(length) + " " + key + "=" + value + "\n";
}

std::string paxRecordsFor(const Member& member, const std::string& headerPath) {
  std::string records;
  if (headerPath.size() > kName.size) records += paxRecord("path", headerPath);
  if (member.linkTarget.size() > kLinkName.size) records += paxRecord("linkpath", member.linkTarget);
  if (member.uid > kMaxOctal7) records += paxRecord("uid", std::to_string(member.uid));
  if (member.gid > kMaxOctal7) records += paxRecord("gid", std::to_string(member.gid));
  if (member.size > kMaxOctal11) records += paxRecord("size", std::to_string(member.size));
  if (member.mtimeNanoseconds != 0 || member.mtimeSeconds < 0 ||
      static_cast<uint64_t>(member.mtimeSeconds) > kMaxOctal11) {
    std::string text = std::to_string(member.mtimeSeconds);
    if (member.mtimeNanoseconds != 0) {
      std::string fraction = std::to_string(member.mtimeNanoseconds);
      text += "." + std::string(9 - fraction.size(), '0') + fraction;
    }
    records += paxRecord("mtime", text);
  }
  return records;
}

bool parsePaxTime(const std::string& text, int64_t* seconds, uint32_t* nanoseconds) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot);
  bool negative = !whole.empty() && whole[0] == '-';
  uint64_t magnitude = 0;
  if (!parseDecimal(negative ? whole.substr(1) : whole, &magnitude) ||
      magnitude > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  uint32_t fraction = 0;
  if (dot != std::string::npos) {
    std::string digits = text.substr(dot + 1);
    if (digits.empty()) return false;
    for (size_t i = 0; i < digits.size(); ++i) {
      char c = digits[i];
      if (c < '0' || c > '9') return false;
      if (i < 9) fraction = fraction * 10 + static_cast<uint32_t>(c - '0');
    }
    for (size_t i = digits.size(); i < 9; ++i) fraction *= 10;
  }
  if (negative && fraction != 0) {
    // -1.25 is 1.25 seconds before the epoch: -2 seconds plus 0.75.
    *seconds = -static_cast<int64_t>(magnitude) - 1;
    *nanoseconds = 1000000000u - fraction;
  } else {
    *seconds = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    *nanoseconds = fraction;
  }
  return true;
}

bool applyPaxRecords(const std::string& records, Member* member, std::string* error) {
  size_t pos = 0;
  while (pos < records.size()) {
    size_t space = records.find(' ', pos);
    uint64_t length = 0;
    if (space == std::string::npos || !parseDecimal(records.substr(pos, space - pos), &length) ||
        length > records.size() - pos || length <= space - pos + 1 ||
        records[pos + length - 1] != '\n') {
      *error = "damaged extended header record";
      return false;
    }
    std::string record = records.substr(space + 1, pos + length - 1 - (space + 1));
    size_t equals = record.find('=');
    if (equals == std::string::npos) {
      *error = "damaged extended header record";
      return false;
    }
    std::string key = record.substr(0, equals);
    std::string value = record.substr(equals + 1);
    bool ok = true;
    if (key == "path") {
      member->path = value;
    } else if (key == "linkpath") {
      member->linkTarget = value;
    } else if (key == "size") {
      ok = parseDecimal(value, &member->size);
    } else if (key == "uid") {
      ok = parseDecimal(value, &member->uid);
    } else if (key == "gid") {
      ok = parseDecimal(value, &member->gid);
    } else if (key == "mtime") {
      ok = parsePaxTime(value, &member->mtimeSeconds, &member->mtimeNanoseconds);
    }
    if (!ok) {
      *error = "bad value in extended header: " + key;
      return false;
    }
    pos += length;
  }
  return true;
}

}  // namespace libinstall
