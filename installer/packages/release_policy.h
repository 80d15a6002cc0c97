#pragma once
// Whether an installation may follow a release list it has read and
// verified: the rules of the release number and of the expiry, as plain
// logic (the installation's state and its messages: installation_release.h).

#include <libinstall/release_list.h>

#include <cstdint>
#include <string>

enum class ReleaseVerdict {
  accepted,
  acceptedClockUnset,  // the clock is earlier than the list's creation: unset,
                       // so the expiry cannot be judged
  belowLowest,         // numbered below the lowest release the medium accepts
  belowRecorded,       // numbered below the release the kept system records
  expired,
};

// `recorded` is the release of the system whose configuration is kept, 0
// when there is none (or it records none). `now` is the clock, in seconds
// since 1970.
ReleaseVerdict judgeRelease(const ReleaseList& list, uint64_t lowest, uint64_t recorded,
                            int64_t now);

// The lowest accepted release as the boot medium writes it ("lowest-release:
// N" and a newline, build-media), or the record of an installed system
// ("release: N" and a newline) under `name`. False for anything else.
bool parseReleaseNumberText(const std::string& text, const char* name, uint64_t* number);
