// The package menu driven by any keys (arrow sequences, cut sequences, any
// byte) over a set of packages with any names and dependencies, as the
// console's bytes reach it through the key decoder.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "console/package_menu.h"
#include "fuzz_check.h"

namespace {

// Each key costs a read and a repaint on the console: more keys per input
// would only slow the search down.
constexpr size_t kMostKeys = 1024;
constexpr int kMostPackages = 40;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The menu draws on standard output: nobody needs to see it.
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  PackageSet set;
  int count = input.ConsumeIntegralInRange(1, kMostPackages);
  std::vector<std::pair<int, int>> needs;  // item, the item it needs (cycles too)
  for (int i = 0; i < count; ++i) {
    set.items.push_back(std::make_unique<PackageItem>());
    PackageItem& item = *set.items.back();
    item.name = input.ConsumeRandomLengthString(12);
    item.description = input.ConsumeRandomLengthString(200);
    for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
      // Mostly other items of the medium, sometimes a package it lacks.
      int other = input.ConsumeIntegralInRange(0, kMostPackages);
      if (other < count) {
        needs.emplace_back(i, other);
      } else {
        item.dependencies.emplace_back(input.ConsumeRandomLengthString(8));
      }
    }
  }
  for (const auto& [item, other] : needs) {
    set.items[item]->dependencies.emplace_back(set.items[other]->name);
  }
  set.cursor = input.ConsumeIntegralInRange<unsigned>(0, count - 1);
  std::string keys = input.ConsumeRemainingBytesAsString();
  if (keys.size() > kMostKeys) keys.resize(kMostKeys);

  int fds[2];
  FUZZ_CHECK(pipe(fds) == 0);
  FUZZ_CHECK(write(fds[1], keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()));
  close(fds[1]);
  dup2(fds[0], 0);
  close(fds[0]);
  (void)runMenu(set);
  close(0);

  FUZZ_CHECK(set.cursor < set.items.size());
  FUZZ_CHECK(set.rowsPerColumn * 3 >= set.items.size());
  return 0;
}
