#pragma once
// A property a fuzz target checks beyond the sanitizers' own: when it does
// not hold, the input is a finding (libFuzzer keeps it as a crash).

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                         \
    }                                                                                  \
  } while (0)
