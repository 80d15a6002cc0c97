#pragma once
// A user-space link between two interfaces of one namespace that duplicates
// and delays frames, for the kernel here has no netem. Frames are forwarded
// whole; UDP checksums are zeroed (frames read from a veth may carry an
// unfinished checksum, and 0 means none), so the receiver takes them.

struct RelayPolicy {
  int duplicatePercent = 0;  // sent now and once more after a delay
  int delayPercent = 0;      // held back, so later frames overtake it
  int maxDelayMs = 0;
  unsigned seed = 1;
  const char* statsPath = nullptr;  // receives "forwarded F duplicated D delayed L"
};

// Forwards between the interfaces `a` and `b` (both up) until killed.
// Returns 1 when the interfaces cannot be opened.
int runRelay(const char* a, const char* b, RelayPolicy policy);
