#include "common/bounded_text.h"

#include <cstring>

bool copyCut(char* dest, size_t capacity, const char* source) {
  size_t length = strnlen(source, capacity);
  bool whole = length < capacity;
  if (!whole) length = capacity - 1;
  memcpy(dest, source, length);
  dest[length] = '\0';
  return whole;
}

bool copyField(char* dest, size_t capacity, const char* source) {
  size_t length = strnlen(source, capacity);
  if (length >= capacity) return false;
  memcpy(dest, source, length);
  memset(dest + length, 0, capacity - length);
  return true;
}
