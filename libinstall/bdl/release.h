#pragma once
// Release lists: bdl release makes one, bdl verify --release checks files
// against one.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace bdl {

struct ReleaseRequest {
  std::string keyFile;
  uint64_t number = 0;
  uint64_t expiresDays = 90;
  std::string product = "Korvanel";
  std::string output;
  std::vector<std::string> files;    // kind by name: .bdl package, .scr script, else file
  std::vector<std::string> drivers;  // driver packages (--driver)
};

// Writes the signed release list of `request.files` and `request.drivers`,
// each listed by its own name (the part after the last "/"), to
// `request.output`, replaced only by a complete list. False with *error for
// an unusable key, a file that cannot be read, a name a list cannot hold or
// two files of the same name.
bool makeReleaseList(const ReleaseRequest& request, std::ostream& out, std::string* error);

// Checks the list in `listFile` (signed with the public key in `keyFile`)
// and then each of `files` against its entry, by name. Prints the list's
// summary and one line per file to `out`. False with *error at the first
// refusal.
bool verifyAgainstRelease(const std::string& keyFile, const std::string& listFile,
                          const std::vector<std::string>& files, std::ostream& out,
                          std::string* error);

}  // namespace bdl
