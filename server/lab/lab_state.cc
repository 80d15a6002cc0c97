#include "server/lab/lab_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

constexpr const char* kPhaseNames[] = {"unknown", "installing", "done", "up", "not up", "claimed twice"};
constexpr int kPhaseCount = 6;
constexpr size_t kEarlierTokensKept = 8;
constexpr size_t kLongestStateText = 4096;

bool readSmallFile(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kLongestStateText + 1];
  ssize_t length = read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (length < 0 || static_cast<size_t>(length) > kLongestStateText) return false;
  text.assign(buffer, static_cast<size_t>(length));
  return true;
}

// Writes `text` to `path` through a temporary file and a rename, so that a
// reader sees the old state or the new one, never a part.
bool writeWhole(const std::string& path, const std::string& text, mode_t mode) {
  std::string temporary = path + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    if (written) saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool parseMillis(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  value = result;
  return true;
}

bool isDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

const char* labPhaseName(LabPhase phase) { return kPhaseNames[static_cast<int>(phase)]; }

bool parseMachineFileName(const char* name, MacBytes& mac) {
  if (strlen(name) != 17) return false;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < kMacSize; ++i) {
    int high = hex(name[i * 3]), low = hex(name[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    if (i + 1 < kMacSize && name[i * 3 + 2] != '-') return false;
    mac[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string machineFileName(const uint8_t* mac) {
  char text[18];
  snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return text;
}

std::string formatMachineState(const MachineState& state) {
  std::string text = std::string("phase: ") + labPhaseName(state.phase) + "\n";
  text += "installations: " + std::to_string(state.installations) + "\n";
  text += "first-request: " + std::to_string(state.firstRequestMillis) + "\n";
  text += "done: " + std::to_string(state.doneMillis) + "\n";
  text += "up: " + std::to_string(state.upMillis) + "\n";
  if (!state.tokenDigest.empty()) text += "token: " + state.tokenDigest + "\n";
  for (const std::string& earlier : state.earlierTokens) text += "earlier-token: " + earlier + "\n";
  return text;
}

bool parseMachineState(const std::string& text, MachineState& state) {
  MachineState result;
  std::istringstream lines(text);
  std::string line;
  bool phaseSeen = false;
  while (std::getline(lines, line)) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) return false;
    std::string name = line.substr(0, colon), value = line.substr(colon + 2);
    if (name == "phase") {
      bool known = false;
      for (int i = 0; i < kPhaseCount; ++i) {
        if (value == kPhaseNames[i]) {
          result.phase = static_cast<LabPhase>(i);
          known = true;
        }
      }
      if (!known) return false;
      phaseSeen = true;
    } else if (name == "installations") {
      int64_t count;
      if (!parseMillis(value, count)) return false;
      result.installations = static_cast<uint64_t>(count);
    } else if (name == "first-request") {
      if (!parseMillis(value, result.firstRequestMillis)) return false;
    } else if (name == "done") {
      if (!parseMillis(value, result.doneMillis)) return false;
    } else if (name == "up") {
      if (!parseMillis(value, result.upMillis)) return false;
    } else if (name == "token") {
      if (!isDigest(value)) return false;
      result.tokenDigest = value;
    } else if (name == "earlier-token") {
      if (!isDigest(value)) return false;
      result.earlierTokens.push_back(value);
      if (result.earlierTokens.size() > kEarlierTokensKept) {
        result.earlierTokens.erase(result.earlierTokens.begin());
      }
    }
    // Other names: written by a later version; kept out, not refused.
  }
  if (!phaseSeen) return false;
  state = std::move(result);
  return true;
}

bool LabState::open(std::string& error) {
  for (const char* sub : {"", "/machines", "/armed", "/tokens"}) {
    std::string path = dir_ + sub;
    // The tokens only the server may read.
    mode_t mode = strcmp(sub, "/tokens") == 0 ? 0700 : 0755;
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
      error = "cannot make the lab state " + path + ": " + strerror(errno);
      return false;
    }
    struct stat found;
    if (stat(path.c_str(), &found) != 0 || !S_ISDIR(found.st_mode)) {
      error = "the lab state " + path + " is not a folder";
      return false;
    }
  }
  if (access((dir_ + "/machines").c_str(), W_OK) != 0 ||
      access((dir_ + "/tokens").c_str(), W_OK) != 0) {
    error = "cannot write the lab state " + dir_ + ": " + strerror(errno);
    return false;
  }
  return true;
}

MachineState LabState::load(const uint8_t* mac) const {
  MachineState state;
  std::string text;
  if (readSmallFile(dir_ + "/machines/" + machineFileName(mac), text)) {
    (void)parseMachineState(text, state);  // an unreadable state is no state
  }
  return state;
}

bool LabState::save(const uint8_t* mac, const MachineState& state) const {
  MachineState kept = state;
  while (kept.earlierTokens.size() > kEarlierTokensKept) {
    kept.earlierTokens.erase(kept.earlierTokens.begin());
  }
  return writeWhole(dir_ + "/machines/" + machineFileName(mac), formatMachineState(kept), 0644);
}

std::vector<std::pair<MacBytes, MachineState>> LabState::loadAll() const {
  std::vector<std::pair<MacBytes, MachineState>> all;
  DIR* folder = opendir((dir_ + "/machines").c_str());
  if (folder == nullptr) return all;
  while (dirent* entry = readdir(folder)) {
    MacBytes mac;
    if (!parseMachineFileName(entry->d_name, mac)) continue;
    all.emplace_back(mac, load(mac.data()));
  }
  closedir(folder);
  return all;
}

bool LabState::armed(const uint8_t* mac) const {
  return access((dir_ + "/armed/" + machineFileName(mac)).c_str(), F_OK) == 0;
}

void LabState::disarm(const uint8_t* mac) const {
  (void)unlink((dir_ + "/armed/" + machineFileName(mac)).c_str());  // absent: nothing to undo
}

std::string LabState::tokenPath(const uint8_t* mac) const {
  return dir_ + "/tokens/" + machineFileName(mac);
}
