#include "server/lab/lab_machines.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netinstall/mac_address.h"

namespace {

// Stations remembered between their first broadcast and their start.
constexpr size_t kMostWaitingMachines = 4096;
// A second start of a machine with secrets this soon after the first, with
// the first not ended, is taken for a second installer claiming its address.
constexpr int64_t kClaimWindowMillis = 10 * 60 * 1000;

std::string hexText(const unsigned char* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

MacBytes key(const uint8_t* mac) {
  MacBytes bytes;
  memcpy(bytes.data(), mac, kMacSize);
  return bytes;
}

// Without a report or a record of the end, a finished installation is one
// whose token is in the state.
bool installed(LabPhase phase) {
  return phase == LabPhase::done || phase == LabPhase::up || phase == LabPhase::notUp;
}

}  // namespace

std::string tokenDigest(const std::string& token) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
  return hexText(digest, sizeof digest);
}

void LabMachines::noteRequest(const uint8_t* mac, int64_t epochMillis) {
  MacBytes address = key(mac);
  if (firstRequest_.count(address) != 0) return;
  if (firstRequest_.size() >= kMostWaitingMachines) firstRequest_.erase(firstRequest_.begin());
  firstRequest_[address] = epochMillis;
}

bool LabMachines::admit(const uint8_t* mac, const std::string& label, std::string& reason) {
  MachinePlan plan;
  if (!readMachinePlan(root_, mac, plan, reason)) return false;
  bool armed = state_.armed(mac);
  if (plan.inventory && !plan.known) {
    if (plan.policy == UnknownPolicy::refuse) {
      reason = "refused: not in the lab's inventory";
      return false;
    }
    if (plan.policy == UnknownPolicy::hold && !armed) {
      reason = "not in the lab's inventory: arm it to let it install";
      return false;
    }
  }
  if (!plan.diskLabel.empty() && label != plan.diskLabel) {
    reason = "reports the disk label \"" + label + "\", the inventory says \"" + plan.diskLabel +
             "\" for " + plan.name;
    return false;
  }
  MachineState machine = state_.load(mac);
  if (machine.phase == LabPhase::conflict && !armed) {
    reason = "claimed twice while it installed: arm it once one machine has its address";
    return false;
  }
  if (installed(machine.phase) && !armed) {
    // Its installed system starts from its disk: whoever asks with its
    // address now is another installer (or a machine booted the wrong way).
    reason = std::string("installed already (") + labPhaseName(machine.phase) +
             "): an installer claims its address; arm it to install it again";
    return false;
  }
  MacBytes address = key(mac);
  if (admittedLabel_.count(address) == 0 && admittedLabel_.size() >= kMostWaitingMachines) {
    admittedLabel_.erase(admittedLabel_.begin());
  }
  admittedLabel_[address] = label;
  return true;
}

bool LabMachines::keepFor(const uint8_t* mac, bool labDefault) const {
  MachinePlan plan;
  std::string ignored;  // an unreadable plan is refused when the machine asks to start
  if (!readMachinePlan(root_, mac, plan, ignored) || plan.keep < 0) return labDefault;
  return plan.keep == 1;
}

void LabMachines::identity(const uint8_t* mac, std::string& name, std::string& group) const {
  MachinePlan plan;
  std::string ignored;
  name.clear();
  group.clear();
  if (!readMachinePlan(root_, mac, plan, ignored) || !plan.inventory) return;
  name = plan.known ? plan.name : "";
  group = plan.group;
}

bool LabMachines::beginInstallation(const uint8_t* mac, const uint8_t* serverAddress,
                                    int64_t epochMillis, std::vector<ServedFile>& files,
                                    uint64_t& installation, bool& rearmed, std::string& error) {
  MachinePlan plan;
  if (!readMachinePlan(root_, mac, plan, error)) return false;
  auto admitted = admittedLabel_.find(key(mac));
  if (plan.inventory && admitted == admittedLabel_.end()) {
    // It skipped the discovery, where the inventory's checks are made.
    error = "it was never found and checked (no discovery)";
    return false;
  }
  if (!plan.diskLabel.empty() && admitted->second != plan.diskLabel) {
    error = "its disk label is not the inventory's";
    return false;
  }
  MachineState machine = state_.load(mac);
  if (plan.secrets && machine.phase == LabPhase::installing &&
      epochMillis - machine.firstRequestMillis < kClaimWindowMillis) {
    machine.phase = LabPhase::conflict;
    (void)state_.save(mac, machine);  // held all the same: the reply below refuses the start
    (void)unlink(state_.tokenPath(mac).c_str());
    error = "claimed twice while it installs: held, its secrets withheld, until armed again";
    return false;
  }
  if (!listMachineFiles(root_, plan, /*withSecrets=*/true, files, error)) return false;
  unsigned char secret[kTokenBytes];
  randombytes_buf(secret, sizeof secret);
  std::string token = hexText(secret, sizeof secret);
  sodium_memzero(secret, sizeof secret);
  std::string text = "# The token of this installation: the first start reports it to the server\n"
                     "token: " + token + "\nserver: " + formatMacAddress(serverAddress) + "\n";
  std::string path = state_.tokenPath(mac);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int saved = errno;
  if (fd >= 0) ::close(fd);
  if (!written) {
    error = "cannot write the installation's token " + path + ": " + strerror(saved);
    return false;
  }
  rearmed = state_.armed(mac) && machine.installations > 0;
  if (!machine.tokenDigest.empty()) machine.earlierTokens.push_back(machine.tokenDigest);
  machine.tokenDigest = tokenDigest(token);
  machine.phase = LabPhase::installing;
  machine.installations += 1;
  auto first = firstRequest_.find(key(mac));
  machine.firstRequestMillis = first != firstRequest_.end() ? first->second : epochMillis;
  if (first != firstRequest_.end()) firstRequest_.erase(first);
  machine.doneMillis = 0;
  machine.upMillis = 0;
  if (!state_.save(mac, machine)) {
    error = "cannot write the lab state of " + machineFileName(mac) + ": " + strerror(errno);
    return false;
  }
  state_.disarm(mac);
  installation = machine.installations;
  // Last: the installer writes it into the new system like any script.
  files.push_back(ServedFile{kUpTokenFileName, path, kScriptMark, true});
  return true;
}

void LabMachines::finishInstallation(const uint8_t* mac, int64_t epochMillis) {
  MachineState machine = state_.load(mac);
  if (machine.phase != LabPhase::installing) return;
  machine.phase = LabPhase::done;
  machine.doneMillis = epochMillis;
  // The installer has the token now; the server needs only its digest.
  (void)unlink(state_.tokenPath(mac).c_str());
  (void)state_.save(mac, machine);  // a lost word: the machine is shown done all the same
}

UpResult LabMachines::upReport(const uint8_t* mac, const std::string& token, int64_t epochMillis,
                               int64_t& upAfterMillis) {
  MachineState machine = state_.load(mac);
  if (machine.tokenDigest.empty()) return UpResult::notInstalled;
  std::string digest = tokenDigest(token);
  if (digest != machine.tokenDigest) {
    for (const std::string& earlier : machine.earlierTokens) {
      if (earlier == digest) return UpResult::replayed;
    }
    return UpResult::wrongToken;
  }
  if (machine.phase == LabPhase::up) return UpResult::repeated;
  // A report before the server heard the end (its "done" was lost) still
  // proves the installation whole: the system it installed has started.
  machine.phase = LabPhase::up;
  machine.upMillis = epochMillis;
  upAfterMillis = epochMillis - machine.firstRequestMillis;
  (void)unlink(state_.tokenPath(mac).c_str());
  (void)state_.save(mac, machine);
  return UpResult::accepted;
}

std::vector<std::pair<MacBytes, int64_t>> LabMachines::overdue(int64_t epochMillis,
                                                               int64_t timeoutMillis) {
  std::vector<std::pair<MacBytes, int64_t>> late;
  for (auto& [mac, machine] : state_.loadAll()) {
    if (machine.phase != LabPhase::done || epochMillis - machine.doneMillis < timeoutMillis) continue;
    machine.phase = LabPhase::notUp;
    (void)state_.save(mac.data(), machine);
    late.emplace_back(mac, epochMillis - machine.doneMillis);
  }
  return late;
}
