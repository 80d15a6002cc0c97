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

bool LabMachines::mayInstall(const uint8_t* mac, std::string& reason) const {
  MachineState machine = state_.load(mac);
  if (!installed(machine.phase) || state_.armed(mac)) return true;
  reason = std::string("installed already (") + labPhaseName(machine.phase) +
           "): arm it to install it again";
  return false;
}

bool LabMachines::beginInstallation(const uint8_t* mac, const uint8_t* serverAddress,
                                    int64_t epochMillis, ServedFile& tokenFile,
                                    uint64_t& installation, bool& rearmed, std::string& error) {
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
  MachineState machine = state_.load(mac);
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
  tokenFile = ServedFile{kUpTokenFileName, path, kScriptMark, true};
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
