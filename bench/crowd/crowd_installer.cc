#include "bench/crowd/crowd_installer.h"

#include <cstring>

#include "netinstall/discovery_payload.h"
#include "netinstall/file_header.h"

namespace {

// The release the simulated installers name in their driver request.
constexpr const char* kSimulatedRelease = "6.1.0-crowd";
// The installer keeps 31 characters of a file name (network_installation.cc).
constexpr size_t kNameCapacity = 32;
constexpr const char* kReleaseListName = "release.lst";

}  // namespace

const char* stepName(const CrowdInstaller& installer) {
  static const char* const kNames[] = {"idle",  "drivers", "discovery", "confirm",
                                       "pause", "start",   "header",    "data",
                                       "closing", "done",  "failed"};
  return kNames[static_cast<int>(installer.step())];
}

void ContentSum::add(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    sum += (static_cast<uint64_t>(data[i]) + 1) * (((offset + i) & 0xFFFF) + 1);
  }
  offset += length;
}

CrowdInstaller::CrowdInstaller(const uint8_t* mac, const std::string& label, bool drivers,
                               int64_t pauseUsec, const ExpectedFiles* expected,
                               CrowdTiming timing)
    : wantDrivers_(drivers), label_(label), pauseUsec_(pauseUsec), expected_(expected),
      timing_(timing) {
  link_.clear();
  memcpy(link_.ownAddress, mac, kMacSize);
  request_.clear();
}

void CrowdInstaller::begin(int64_t now, Outbox& out) {
  firstRequest_ = now;
  driverPhase_ = wantDrivers_;
  step_ = wantDrivers_ ? Step::drivers : Step::discovery;
  timeout(now, out);
}

void CrowdInstaller::broadcast(const NetMessage& message, int64_t now, Outbox& out) {
  // As InstallClient::broadcastRequest: a fresh link, the copy numbered 1,
  // and the first request after it numbered 1 again.
  memset(link_.peerAddress, 0, kMacSize);
  link_.resetCounters();
  request_ = message;
  link_.stamp(request_, request_.payloadLength());
  link_.resetCounters();
  out.send(request_, nullptr);
  deadline_ = now + timing_.cycleUsec;
}

void CrowdInstaller::request(const char* text, int attempts, int64_t now, Outbox& out) {
  request_.clear();
  (void)request_.setPayloadText(text, /*withTerminator=*/false);  // short tags: they fit
  link_.stamp(request_, request_.payloadLength());
  sends_ = 0;
  attempts_ = attempts;
  resend(now, out);
}

void CrowdInstaller::resend(int64_t now, Outbox& out) {
  // As NetEndpoint::sendRequest: from the third send of a request on, the
  // link's requests are broadcast for the rest of the run.
  if (sends_ >= 2) link_.directRequests = false;
  ++sends_;
  out.send(request_, link_.directRequests ? link_.peerAddress : nullptr);
  deadline_ = now + (step_ == Step::closing ? timing_.closingUsec : timing_.replyTimeoutUsec);
}

void CrowdInstaller::fail(const std::string& why) {
  step_ = Step::failed;
  failure_ = why;
  deadline_ = INT64_MAX;
}

void CrowdInstaller::timeout(int64_t now, Outbox& out) {
  NetMessage message;
  switch (step_) {
    case Step::drivers:
      composeDriverRequest(message, kSimulatedRelease);
      broadcast(message, now, out);
      return;
    case Step::discovery:
      composeDiscovery(message, "", "", label_.c_str());
      broadcast(message, now, out);
      return;
    case Step::pause:
      step_ = Step::start;
      request(messageTag(MessageType::start), timing_.confirmAttempts, now, out);
      return;
    case Step::confirm:
    case Step::start:
    case Step::header:
    case Step::data:
    case Step::closing:
      if (step_ == Step::closing ? sends_ < timing_.closingSends : sends_ < attempts_) {
        resend(now, out);
      } else if (step_ == Step::confirm) {
        step_ = Step::discovery;  // a server that does not confirm: look again
        timeout(now, out);
      } else {
        fail(step_ == Step::start      ? "server refused to install"
             : step_ == Step::closing  ? "no answer to the closing request"
             : driverPhase_            ? "could not retrieve disk drivers"
                                       : "bad network connection");
      }
      return;
    case Step::idle:
    case Step::done:
    case Step::failed:
      deadline_ = INT64_MAX;
      return;
  }
}

void CrowdInstaller::receive(const NetMessage& message, long length, int64_t now, Outbox& out) {
  if (step_ == Step::drivers || step_ == Step::discovery) {
    // Another installer's discovery is never an answer (waitForTag).
    if (length >= static_cast<long>(kHeaderSize) && isZeroMac(message.target())) return;
    if (!link_.accept(message, length)) return;
    if (step_ == Step::drivers) {
      if (!message.payloadBeginsWith(messageTag(MessageType::driverOffer))) return;
      memcpy(link_.peerAddress, message.source(), kMacSize);
      step_ = Step::header;
      request(messageTag(MessageType::retrieve), timing_.transferAttempts, now, out);
      return;
    }
    char offer[512];
    bool keep = false;
    if (!message.payloadBeginsWith(messageTag(MessageType::offer)) ||
        !parseOffer(message.payloadText(), message.payloadLength(), offer, sizeof offer, keep)) {
      return;
    }
    memcpy(link_.peerAddress, message.source(), kMacSize);
    step_ = Step::confirm;
    request("YACK\n", timing_.confirmAttempts, now, out);
    return;
  }
  if (step_ == Step::idle || step_ == Step::pause || finished()) return;
  if (!link_.accept(message, length)) return;
  switch (step_) {
    case Step::confirm:
      step_ = Step::pause;  // the disk is prepared
      deadline_ = now + pauseUsec_;
      return;
    case Step::start:
      step_ = Step::header;
      request(messageTag(MessageType::retrieve), timing_.transferAttempts, now, out);
      return;
    case Step::header:
      headerArrived(message, now, out);
      return;
    case Step::data:
      dataArrived(message, now, out);
      return;
    case Step::closing:
      if (message.payloadBeginsWith(messageTag(MessageType::terminate))) {
        step_ = Step::done;
        deadline_ = INT64_MAX;
      }
      return;
    default:
      return;
  }
}

void CrowdInstaller::headerArrived(const NetMessage& reply, int64_t now, Outbox& out) {
  char name[kFileNameSize];
  int mark = 0;
  if (parseFileHeader(reply.payloadText(), reply.payloadLength(), name, mark) !=
      FileHeader::file) {
    if (driverPhase_) return fail("could not retrieve disk drivers");
    step_ = Step::closing;
    lastByte_ = now;
    request(messageTag(MessageType::awaitTermination), 0, now, out);
    return;
  }
  // The installer's own refusals (InstallClient::nextFile).
  if (!driverPhase_ && (!isPlainFileName(name) || strlen(name) >= kNameCapacity)) {
    return fail(std::string("refused file name ") + name);
  }
  if (expected_->count(name) == 0) return fail(std::string("unexpected file ") + name);
  fileName_ = name;
  content_ = ContentSum{};
  step_ = Step::data;
  request(messageTag(MessageType::retrieve), timing_.transferAttempts, now, out);
}

void CrowdInstaller::dataArrived(const NetMessage& reply, int64_t now, Outbox& out) {
  size_t length = reply.payloadLength();
  if (length > 0) {
    content_.add(reply.payload(), length);
    bytes_ += length;
    lastByte_ = now;
    request(messageTag(MessageType::retrieve), timing_.transferAttempts, now, out);
    return;
  }
  const ExpectedFile& expected = expected_->at(fileName_);
  if (content_.offset != expected.size || content_.sum != expected.sum) {
    return fail(fileName_ + " arrived altered: " + std::to_string(content_.offset) + " of " +
                std::to_string(expected.size) + " bytes");
  }
  ++files_;
  // The driver package (after the release list) ends the driver exchange;
  // the installer loads it and looks for a server to install from.
  if (driverPhase_ && fileName_ != kReleaseListName) {
    driverPhase_ = false;
    step_ = Step::discovery;
    timeout(now, out);
    return;
  }
  step_ = Step::header;
  request(messageTag(MessageType::retrieve), timing_.transferAttempts, now, out);
}
