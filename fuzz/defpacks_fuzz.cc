// The medium's "defpacks" list as the package set reads it: exactly the
// items named by a whole word of at most kMaxDefaultWord characters are
// selected.

#include <set>
#include <string>

#include "fuzz_check.h"
#include "fuzz_input.h"
#include "packages/package_set.h"

namespace {

const std::string kNames[] = {
    "system", "ppp", "dhcp", "web", "", std::string(kMaxDefaultWord, 'x'),
    std::string(kMaxDefaultWord + 1, 'x'), "a\xff", "dhcp-extra",
};

bool isSeparator(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PackageSet set;
  for (const std::string& name : kNames) {
    set.items.push_back(std::make_unique<PackageItem>());
    set.items.back()->name = name;
  }
  FILE* list = fuzz::openInput(data, size);
  if (list == nullptr) return 0;
  set.applyDefaultsFrom(list);
  fclose(list);

  std::set<std::string> words;
  std::string word;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || isSeparator(data[i])) {
      if (!word.empty() && word.size() <= kMaxDefaultWord) words.insert(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  for (const auto& item : set.items) FUZZ_CHECK(item->selected == (words.count(item->name) > 0));
  return 0;
}
