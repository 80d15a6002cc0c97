#pragma once
// Making release lists (bdl release): the signed text of a list.

#include <string>

#include "libinstall/release_list.h"
#include "signing_keys.h"

namespace libinstall {

constexpr const char* kReleaseFormatLine = "format: bdl-release 1";

// The whole text of `list` (its signer taken from `key`), signed with `key`.
// REQUIRES: the list's names, product and times are valid for the format.
std::string releaseListText(const ReleaseList& list, const SecretKey& key);

}  // namespace libinstall
