#pragma once
// The classic BPF program that an installer's UDP socket runs in the kernel
// on every datagram before it wakes the process: it keeps a datagram whose
// target is all zero (discovery answers, which the acceptance rules may
// take while no server is known) or one of the given hardware addresses,
// and drops every other one, which the rules would drop without effect. On
// a segment shared with other installers that is most of what arrives:
// their requests and, from servers that broadcast, their replies.

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// At most this many own addresses fit the program's jumps.
constexpr size_t kMostFilteredAddresses = 32;

// The program for `ownAddresses` (each kMacSize bytes); empty when there
// are more than kMostFilteredAddresses.
std::vector<sock_filter> targetFilterProgram(const std::vector<const uint8_t*>& ownAddresses);
