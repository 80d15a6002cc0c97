#include "packages/release_policy.h"

ReleaseVerdict judgeRelease(const ReleaseList& list, uint64_t lowest, uint64_t recorded,
                            int64_t now) {
  if (list.number < lowest) return ReleaseVerdict::belowLowest;
  if (list.number < recorded) return ReleaseVerdict::belowRecorded;
  // A machine without a battery-backed clock starts in 1970: a clock earlier
  // than the list was made cannot be right, so the expiry cannot be judged
  // (refusing there would make the machine uninstallable).
  if (now < list.created) return ReleaseVerdict::acceptedClockUnset;
  return now <= list.expires ? ReleaseVerdict::accepted : ReleaseVerdict::expired;
}

bool parseReleaseNumberText(const std::string& text, const char* name, uint64_t* number) {
  std::string prefix = std::string(name) + ": ";
  if (text.size() < prefix.size() + 2 || text.compare(0, prefix.size(), prefix) != 0 ||
      text.back() != '\n') {
    return false;
  }
  std::string digits = text.substr(prefix.size(), text.size() - prefix.size() - 1);
  if (digits.size() > 19 || (digits[0] == '0' && digits.size() > 1)) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *number = value;
  return true;
}
