#include "netinstall/target_filter.h"

#include "netinstall/net_message.h"

namespace {

// A UDP socket's filter sees the datagram from its UDP header on.
constexpr uint32_t kUdpHeaderSize = 8;
constexpr uint32_t kTargetOffset = kUdpHeaderSize + kMacSize;  // the message's target field
constexpr uint32_t kKeepWhole = 0xFFFFFFFF;
constexpr uint32_t kDrop = 0;

}  // namespace

std::vector<sock_filter> targetFilterProgram(const std::vector<const uint8_t*>& ownAddresses) {
  if (ownAddresses.size() > kMostFilteredAddresses) return {};
  const uint8_t zero[kMacSize] = {};
  std::vector<const uint8_t*> kept = {zero};
  kept.insert(kept.end(), ownAddresses.begin(), ownAddresses.end());

  // X holds the target's first four bytes; each address is then compared in
  // four instructions: its first four bytes, and if they match, its last two.
  // Loads beyond the datagram's end drop it (too short for the rules anyway).
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kTargetOffset));
  program.push_back(BPF_STMT(BPF_MISC | BPF_TAX, 0));
  for (size_t index = 0; index < kept.size(); ++index) {
    const uint8_t* mac = kept[index];
    uint32_t high = static_cast<uint32_t>(mac[0]) << 24 | static_cast<uint32_t>(mac[1]) << 16 |
                    static_cast<uint32_t>(mac[2]) << 8 | mac[3];
    uint32_t low = static_cast<uint32_t>(mac[4]) << 8 | mac[5];
    // From the last comparison of this address to the "keep" return: the
    // comparisons of the later addresses, then the "drop" return.
    auto toKeep = static_cast<uint8_t>(4 * (kept.size() - 1 - index) + 1);
    program.push_back(BPF_STMT(BPF_MISC | BPF_TXA, 0));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, high, 0, 2));
    program.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kTargetOffset + 4));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, low, toKeep, 0));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, kDrop));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, kKeepWhole));
  return program;
}
