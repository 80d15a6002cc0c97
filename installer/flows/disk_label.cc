#include "flows/disk_label.h"

#include <cstdio>

#include "common/bounded_text.h"

namespace {

// Letters, digits and punctuation: the printable ASCII characters but the
// blank. Control characters, the newline and bytes from 0x80 up go.
bool keptInLabel(unsigned char c) { return c > 0x20 && c < 0x7F; }

void keepLabelCharacters(char* label) {
  size_t kept = 0;
  for (size_t i = 0; label[i] != '\0'; ++i) {
    if (keptInLabel(static_cast<unsigned char>(label[i]))) label[kept++] = label[i];
  }
  label[kept] = '\0';
}

}  // namespace

void labelFromFile(const char* path, char* label, size_t capacity) {
  label[0] = '\0';
  FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
  if (file != nullptr) {
    // The line is cut before it is filtered: 40 characters give the first 31.
    if (fgets(label, static_cast<int>(capacity), file) == nullptr) label[0] = '\0';
    fclose(file);
    keepLabelCharacters(label);
  }
  if (label[0] == '\0') (void)copyCut(label, capacity, kDefaultDiskLabel);  // cutting is the rule
}
