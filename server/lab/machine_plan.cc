#include "server/lab/machine_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "server/lab/lab_state.h"

namespace {

constexpr size_t kLongestConf = 64 * 1024;

bool isDirectory(const std::string& path) {
  struct stat found;
  return stat(path.c_str(), &found) == 0 && S_ISDIR(found.st_mode);
}

}  // namespace

bool isInventoryRoot(const std::string& root) {
  return isDirectory(root + "/machines") || isDirectory(root + "/unknown");
}

bool parseMachineConf(const std::string& text, MachinePlan& plan, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      error = "not a \"name: value\" line: " + line.substr(0, 40);
      return false;
    }
    std::string name = line.substr(0, colon), value = line.substr(colon + 2);
    if (name == "name") {
      plan.name = value;
    } else if (name == "group") {
      plan.group = value;
    } else if (name == "keep") {
      if (value != "yes" && value != "no") {
        error = "keep must be yes or no, not " + value;
        return false;
      }
      plan.keep = value == "yes" ? 1 : 0;
    } else if (name == "disk-label") {
      plan.diskLabel = value;
    } else if (name == "packages") {
      plan.allPackages = false;
      plan.packages.clear();
      std::istringstream words(value);
      std::string word;
      while (words >> word) plan.packages.push_back(word);
    } else if (name == "policy") {
      if (value == "install") {
        plan.policy = UnknownPolicy::install;
      } else if (value == "hold") {
        plan.policy = UnknownPolicy::hold;
      } else if (value == "refuse") {
        plan.policy = UnknownPolicy::refuse;
      } else {
        error = "policy must be install, hold or refuse, not " + value;
        return false;
      }
    }
    // Other names: written by a later builder; they decide nothing here.
  }
  return true;
}

namespace {

// The plan in `dir` (a machine's own folder when `known`, else unknown/).
bool readPlanFolder(const std::string& root, const std::string& dir, bool known,
                    MachinePlan& plan, std::string& error) {
  plan = MachinePlan();
  if (!isInventoryRoot(root)) return true;
  plan.inventory = true;
  plan.known = known;
  plan.dir = dir;
  // Without an unknown/ folder the inventory said nothing of the rest: held.
  if (!plan.known && !isDirectory(plan.dir)) {
    plan.policy = UnknownPolicy::hold;
    return true;
  }
  std::string path = plan.dir + "/machine.conf";
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  std::string text(kLongestConf + 1, '\0');
  file.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(file.gcount()));
  if (text.size() > kLongestConf) {
    error = path + " is longer than " + std::to_string(kLongestConf) + " bytes";
    return false;
  }
  if (!parseMachineConf(text, plan, error)) {
    error = path + ": " + error;
    return false;
  }
  if (plan.known) plan.policy = UnknownPolicy::install;
  plan.secrets = isDirectory(plan.dir + "/secret-scripts");
  return true;
}

}  // namespace

bool readMachinePlan(const std::string& root, const uint8_t* mac, MachinePlan& plan,
                     std::string& error) {
  std::string own = root + "/machines/" + machineFileName(mac);
  bool known = isDirectory(own);
  return readPlanFolder(root, known ? own : root + "/unknown", known, plan, error);
}

bool readUnknownMachinePlan(const std::string& root, MachinePlan& plan, std::string& error) {
  return readPlanFolder(root, root + "/unknown", /*known=*/false, plan, error);
}

bool listMachineFiles(const std::string& root, const MachinePlan& plan, bool withSecrets,
                      std::vector<ServedFile>& files, std::string& error) {
  std::vector<ServedFile> all;
  if (!listInstallFiles(root, all, error)) return false;
  if (!plan.inventory) {
    files = std::move(all);
    return true;
  }
  std::vector<ServedFile> own;
  if (!listScriptFiles(plan.dir + "/scripts", kScriptMark, own, error)) return false;
  if (withSecrets && !listScriptFiles(plan.dir + "/secret-scripts", kScriptMark, own, error)) {
    return false;
  }
  files.clear();
  bool ownPlaced = false;
  for (ServedFile& file : all) {
    if (!file.script && !plan.allPackages &&
        std::find(plan.packages.begin(), plan.packages.end(), file.name) == plan.packages.end()) {
      continue;  // not of its set
    }
    // The machine's own scripts follow the lab-wide ones, before the held.
    if (!ownPlaced && file.script && file.mark == kHeldScriptMark) {
      files.insert(files.end(), own.begin(), own.end());
      ownPlaced = true;
    }
    files.push_back(std::move(file));
  }
  if (!ownPlaced) files.insert(files.end(), own.begin(), own.end());
  return true;
}
