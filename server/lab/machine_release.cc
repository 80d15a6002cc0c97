#include "server/lab/machine_release.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "server/lab/lab_state.h"
#include "server/lab/machine_plan.h"
#include "server/protocol/file_cursor.h"
#include "server/protocol/install_tree.h"

namespace {

struct CheckedMachine {
  std::string address;  // as the list spells it; "": a machine of no entries of its own
  std::string shown;    // who it is in a message: " for 52:54:00:12:34:01 (office-1)"
  MachinePlan plan;
};

enum class Content { matches, differs, unreadable };

struct ContentResult {
  Content content = Content::matches;
  std::string why;  // what differs, or the read error
};

// Each (file, entry) pair is read once, however many machines take it.
using ContentChecks = std::map<std::pair<std::string, const ReleaseFile*>, ContentResult>;

ContentResult readAgainst(const std::string& path, const ReleaseFile& entry) {
  ContentResult result;
  FileCursor cursor;
  if (!cursor.open(path)) return {Content::unreadable, strerror(errno)};
  ReleaseFileCheck check(entry);
  char block[64 * 1024];
  long count;
  bool fits = true;
  while (fits && (count = cursor.readNext(block, sizeof block)) > 0) {
    fits = check.update(block, static_cast<size_t>(count));
  }
  if (fits && count < 0) return {Content::unreadable, strerror(errno)};
  result.why = "longer than the " + std::to_string(entry.size) + " bytes listed";
  if (!fits || !check.finish(&result.why)) result.content = Content::differs;
  return result;
}

std::string shownPath(const std::string& root, const std::string& path) {
  return path.compare(0, root.size() + 1, root + "/") == 0 ? path.substr(root.size() + 1) : path;
}

std::string listSpelling(const MacBytes& mac) {
  std::string text = machineFileName(mac.data());
  std::replace(text.begin(), text.end(), '-', ':');
  return text;
}

bool addMachine(const std::string& root, const MacBytes& mac, std::vector<CheckedMachine>& machines,
                std::set<std::string>& seen, std::string& error) {
  CheckedMachine machine;
  machine.address = listSpelling(mac);
  if (!seen.insert(machine.address).second) return true;
  if (!readMachinePlan(root, mac.data(), machine.plan, error)) return false;
  machine.shown = " for " + machine.address;
  if (machine.plan.known) {
    machine.shown += " (" + machine.plan.name + ")";
  } else if (machine.plan.inventory) {
    machine.shown += " (not in the inventory)";
  }
  machines.push_back(std::move(machine));
  return true;
}

// The machines of the root and of the list, in a fixed order (the first
// difference reported is the same at every start).
bool collectMachines(const std::string& root, const ReleaseList& list,
                     std::vector<CheckedMachine>& machines, std::string& error) {
  CheckedMachine rest;
  if (!readUnknownMachinePlan(root, rest.plan, error)) return false;
  if (rest.plan.inventory) rest.shown = " for the machines the inventory does not name";
  machines.push_back(std::move(rest));
  std::set<std::string> seen;
  std::string folders = root + "/machines";
  std::vector<std::string> names;
  if (DIR* folder = opendir(folders.c_str())) {
    while (dirent* entry = readdir(folder)) names.push_back(entry->d_name);
    closedir(folder);
  } else if (errno != ENOENT) {
    error = "cannot read " + folders + ": " + strerror(errno);
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    MacBytes mac;
    // Another name is no machine's: the server never chooses it.
    if (!parseMachineFileName(name.c_str(), mac)) continue;
    if (!addMachine(root, mac, machines, seen, error)) return false;
  }
  for (const ReleaseFile& entry : list.files) {
    if (entry.machine.empty()) continue;
    std::string spelled = entry.machine;
    std::replace(spelled.begin(), spelled.end(), ':', '-');
    MacBytes mac;
    if (!parseMachineFileName(spelled.c_str(), mac)) continue;
    if (!addMachine(root, mac, machines, seen, error)) return false;
  }
  return true;
}

class MachineCheck {
 public:
  MachineCheck(const std::string& root, const ReleaseList& list)
      : root_(root), list_(list), release_("release " + std::to_string(list.number)) {}

  // `file` served to `machine` as a file of `kind`.
  bool matches(const ServedFile& file, ReleaseFileKind kind, const CheckedMachine& machine,
               std::string& error) {
    std::string shown = shownPath(root_, file.path);
    std::string release = release_ + machine.shown;
    const ReleaseFile* entry = list_.find(file.name, machine.address);
    if (entry == nullptr) {
      error = shown + " is not in " + release;
      return false;
    }
    if (entry->kind != kind) {
      error = shown + " is listed in " + release + " as a " + releaseFileKindName(entry->kind) +
              ", not as a " + releaseFileKindName(kind);
      return false;
    }
    auto key = std::make_pair(file.path, entry);
    auto found = checked_.find(key);
    if (found == checked_.end()) {
      found = checked_.emplace(key, readAgainst(file.path, *entry)).first;
    }
    const ContentResult& result = found->second;
    if (result.content == Content::unreadable) {
      error = "cannot read " + file.path + ": " + result.why;
      return false;
    }
    if (result.content == Content::differs) {
      std::string secrets = machine.plan.dir + "/secret-scripts/";
      bool secret = !machine.plan.dir.empty() && file.path.compare(0, secrets.size(), secrets) == 0;
      error = shown + " does not match " + release + ": " +
              (secret ? "its size or SHA-256 is not the listed one (a secret script's are not "
                        "shown)"
                      : result.why);
      return false;
    }
    return true;
  }

  // Everything `machine` would receive, and the entries it takes that it
  // would not.
  bool check(const CheckedMachine& machine, const std::vector<ServedFile>& drivers,
             std::string& error) {
    const MachinePlan& plan = machine.plan;
    bool refused = plan.inventory && !plan.known && plan.policy == UnknownPolicy::refuse;
    std::vector<ServedFile> files;
    if (!refused && !listMachineFiles(root_, plan, /*withSecrets=*/true, files, error)) {
      return false;
    }
    std::set<std::string> received;
    for (const ServedFile& file : files) {
      ReleaseFileKind kind = file.script ? ReleaseFileKind::script : ReleaseFileKind::package;
      if (!matches(file, kind, machine, error)) return false;
      received.insert(file.name);
      served_.insert(file.name);
    }
    // Asked for by kernel release before a machine is known: any machine
    // may take any of them.
    for (const ServedFile& driver : drivers) {
      if (!matches(driver, ReleaseFileKind::driver, machine, error)) return false;
    }
    for (const ReleaseFile& entry : list_.files) {
      if (entry.kind != ReleaseFileKind::package && entry.kind != ReleaseFileKind::script) continue;
      // Served nothing, it takes nothing; its own entries are still files
      // the root should hold.
      bool takes = refused ? entry.machine == machine.address && !entry.machine.empty()
                           : list_.takes(entry, machine.address);
      if (takes && received.count(entry.name) == 0) {
        error = missing(entry, machine.shown);
        return false;
      }
    }
    return true;
  }

  // Entries whose file no machine would receive.
  bool everyEntryServed(const std::vector<ServedFile>& drivers, std::string& error) {
    for (const ServedFile& driver : drivers) served_.insert(driver.name);
    for (const ReleaseFile& entry : list_.files) {
      if (entry.kind != ReleaseFileKind::file && served_.count(entry.name) == 0) {
        error = missing(entry, entry.machine.empty() ? "" : " for " + entry.machine);
        return false;
      }
    }
    return true;
  }

 private:
  std::string missing(const ReleaseFile& entry, const std::string& who) const {
    return std::string(releaseFileKindName(entry.kind)) + " " + entry.name + " of " + release_ +
           who + " is missing from " + root_;
  }

  const std::string& root_;
  const ReleaseList& list_;
  std::string release_;
  ContentChecks checked_;
  std::set<std::string> served_;  // names some machine receives
};

}  // namespace

bool checkMachinesAgainstRelease(const std::string& root, const ReleaseList& list,
                                 std::string& error) {
  std::vector<CheckedMachine> machines;
  std::vector<ServedFile> drivers;
  if (!collectMachines(root, list, machines, error) || !listDriverFiles(root, drivers, error)) {
    return false;
  }
  MachineCheck check(root, list);
  for (const CheckedMachine& machine : machines) {
    if (!check.check(machine, drivers, error)) return false;
  }
  return check.everyEntryServed(drivers, error);
}
