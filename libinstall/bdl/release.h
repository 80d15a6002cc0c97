#pragma once
// Release lists: bdl release makes one, bdl verify --release checks files
// against one.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
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
  // Files of one machine each (--machine MAC FILE): (address as
  // isReleaseMachine spells it, path), kind by name as for `files`.
  std::vector<std::pair<std::string, std::string>> machineFiles;
  // The list's creation time, from which `expiresDays` count; -1: now.
  int64_t created = -1;
};

// Writes the signed release list of `request.files`, `request.drivers` and
// `request.machineFiles`, each listed by its own name (the part after the
// last "/"), to `request.output`, replaced only by a complete list. False
// with *error for an unusable key, a file that cannot be read, a name a list
// cannot hold, or names the list's rule refuses (ReleaseNames: the same name
// twice for one machine, or for every machine and for one).
bool makeReleaseList(const ReleaseRequest& request, std::ostream& out, std::string* error);

// Checks the list in `listFile` (signed with the public key in `keyFile`)
// and then each file against its entry, by name: each of `files` as for
// every machine, each of `machineFiles` as the entry that machine takes.
// Prints the list's summary and one line per file to `out`. False with
// *error at the first refusal.
bool verifyAgainstRelease(const std::string& keyFile, const std::string& listFile,
                          const std::vector<std::string>& files,
                          const std::vector<std::pair<std::string, std::string>>& machineFiles,
                          std::ostream& out, std::string* error);

// A hardware address as a list writes it: `text` in either case, its six
// pairs joined by ":" or "-". False when it is no such address.
bool releaseMachineFrom(const std::string& text, std::string* machine);

}  // namespace bdl
