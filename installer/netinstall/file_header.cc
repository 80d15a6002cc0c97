#include "netinstall/file_header.h"

#include <cstdio>
#include <cstring>

#include "netinstall/net_message.h"

namespace {

// atoi over a line that is not terminated: blanks, a sign, digits. Values
// beyond int saturate instead of overflowing.
int parseMark(const char* text, size_t length) {
  size_t i = 0;
  while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 0x80000000LL) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  if (value < -0x80000000LL) value = -0x80000000LL;
  return static_cast<int>(value);
}

}  // namespace

FileHeader parseFileHeader(const char* payload, size_t length, char (&name)[kFileNameSize],
                           int& mark) {
  mark = 0;
  const char* tag = messageTag(MessageType::file);
  if (length < kTagSize || memcmp(payload, tag, kTagSize) != 0) {
    name[0] = '\0';
    return FileHeader::endOfFiles;
  }
  const char* end = payload + length;
  const char* tagEnd = static_cast<const char*>(memchr(payload, '\n', length));
  if (tagEnd == nullptr) return FileHeader::endOfFiles;
  const char* nameStart = tagEnd + 1;
  const char* nameEnd = static_cast<const char*>(memchr(nameStart, '\n', end - nameStart));
  if (nameEnd == nullptr) return FileHeader::endOfFiles;
  size_t nameLength = nameEnd - nameStart;
  if (nameLength > kFileNameSize - 1) nameLength = kFileNameSize - 1;
  memcpy(name, nameStart, nameLength);
  name[nameLength] = '\0';
  const char* markStart = nameEnd + 1;
  const char* markEnd = static_cast<const char*>(memchr(markStart, '\n', end - markStart));
  mark = parseMark(markStart, (markEnd != nullptr ? markEnd : end) - markStart);
  return mark >= 0 ? FileHeader::file : FileHeader::endOfFiles;
}

size_t composeFileHeader(char* payload, size_t capacity, const char* name, int mark) {
  int length = snprintf(payload, capacity, "%s\n%s\n%d\n", messageTag(MessageType::file), name, mark);
  if (length < 0 || static_cast<size_t>(length) >= capacity) return 0;
  return static_cast<size_t>(length);
}

bool isPlainFileName(const char* name) {
  if (strchr(name, '/') != nullptr) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}
