#include "server/protocol/client_link.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <cstring>
#include <memory>

#include "netinstall/file_header.h"
#include "server/lab/lab_machines.h"
#include "server/protocol/served_release.h"
#include "server/protocol/wall_clock.h"

namespace {

constexpr const char* kConfirmation = "OKAY";

void setText(NetMessage& reply, const std::string& text) {
  // Every text the server builds is far below the payload's capacity.
  (void)reply.setPayloadBytes(text.data(), text.size());
}

// What the installer is about to receive, for the operator's estimate; a
// file that cannot be examined now counts nothing (reading it fails later).
uint64_t totalSize(const std::vector<ServedFile>& files) {
  uint64_t total = 0;
  for (const ServedFile& file : files) {
    struct stat status;
    if (stat(file.path.c_str(), &status) == 0) total += static_cast<uint64_t>(status.st_size);
  }
  return total;
}

}  // namespace

ClientLink::ClientLink(const LinkConfig& config, const uint8_t* server, const uint8_t* client)
    : config_(config) {
  memcpy(server_, server, kMacSize);
  memcpy(client_, client, kMacSize);
  lastReply_.clear();
}

size_t ClientLink::composeOpening(const LinkConfig& config, bool drivers, const uint8_t* server,
                                  const uint8_t* client, NetMessage& reply) {
  reply.clear();
  if (drivers) {
    setText(reply, messageTag(MessageType::driverOffer));
  } else {
    std::string text = std::string(messageTag(MessageType::offer)) + "\nKorvanel installation\n";
    bool keep = config.lab != nullptr ? config.lab->keepFor(client, config.keep) : config.keep;
    if (keep) text += "keep\n";
    setText(reply, text);
  }
  // The discovery stands as request 0; the reply is the link's first.
  reply.setSource(server);
  reply.setTarget(client);
  reply.setSequence(1);
  reply.setAcknowledgement(0);
  return reply.datagramLength();
}

std::unique_ptr<ClientLink> ClientLink::offer(const LinkConfig& config, const uint8_t* server,
                                              const uint8_t* client) {
  std::unique_ptr<ClientLink> link(new ClientLink(config, server, client));
  link->lastReplyLength_ = composeOpening(config, false, server, client, link->lastReply_);
  link->serverSequence_ = 1;
  return link;
}

std::unique_ptr<ClientLink> ClientLink::offerDrivers(const LinkConfig& config,
                                                     const uint8_t* server, const uint8_t* client,
                                                     const std::string& release) {
  std::unique_ptr<ClientLink> link(new ClientLink(config, server, client));
  link->phase_ = Phase::driversOffered;
  ServedFile driver;
  ServedFile releaseList;
  // The release list goes first, so that the installer can check the driver
  // package against it too.
  if (findDriverFile(config.root, release, driver)) {
    if (findServedRelease(config.root, releaseList)) link->files_.push_back(releaseList);
    link->files_.push_back(driver);
  }
  link->lastReplyLength_ = composeOpening(config, true, server, client, link->lastReply_);
  link->serverSequence_ = 1;
  return link;
}

size_t ClientLink::stampReply(const NetMessage& request, NetMessage& reply) {
  serverSequence_ = nextSequence(serverSequence_);
  reply.setSource(server_);
  reply.setTarget(client_);
  reply.setSequence(serverSequence_);
  reply.setAcknowledgement(request.sequence());
  return reply.datagramLength();
}

size_t ClientLink::handle(const NetMessage& request, NetMessage& reply, const LinkLog& log) {
  if (used_ && request.sequence() == clientSequence_) {
    // The installer did not get our reply: the same one again, nothing moves.
    memcpy(reply.bytes, lastReply_.bytes, lastReplyLength_);
    return lastReplyLength_;
  }
  if (request.sequence() != nextSequence(clientSequence_)) return 0;
  reply.clear();
  if (!respond(request, reply, log)) return 0;  // a repetition will ask again
  clientSequence_ = request.sequence();
  used_ = true;
  lastReplyLength_ = stampReply(request, reply);
  memcpy(lastReply_.bytes, reply.bytes, lastReplyLength_);
  return lastReplyLength_;
}

bool ClientLink::respond(const NetMessage& request, NetMessage& reply, const LinkLog& log) {
  if (phase_ == Phase::failed) return false;
  if (request.payloadBeginsWith(messageTag(MessageType::retrieve))) {
    if (phase_ == Phase::started || phase_ == Phase::driversOffered) return serveFile(reply, log);
    setText(reply, "FILE\n\n-1\n");  // nothing to send before the start
    return true;
  }
  if (request.payloadBeginsWith(messageTag(MessageType::acceptOffer))) {
    if (phase_ == Phase::offered) {
      log(serverEvent("took-offer", "took the offer"));
      phase_ = Phase::accepted;
    }
  } else if (request.payloadBeginsWith(messageTag(MessageType::declineOffer))) {
    log(serverEvent("declined", "declined the offer"));
    phase_ = Phase::declined;
  } else if (request.payloadBeginsWith(messageTag(MessageType::start))) {
    std::string error;
    std::vector<ServedFile> files;
    nlohmann::json lab = nlohmann::json::object();
    if (config_.lab == nullptr) {
      if (!listInstallFiles(config_.root, files, error)) {
        log(serverEvent("failed", "cannot start: " + error, {{"reason", "cannot start: " + error}}));
        return false;
      }
    } else {
      uint64_t installation = 0;
      bool rearmed = false;
      if (!config_.lab->beginInstallation(client_, server_, epochMillisNow(), files, installation,
                                          rearmed, error)) {
        log(serverEvent("failed", "cannot start: " + error, {{"reason", "cannot start: " + error}}));
        // Its repetitions of the start are not taken either: the lab's
        // answer stands for this link.
        phase_ = Phase::failed;
        return false;
      }
      lab["installation"] = installation;
      if (rearmed) {
        log(serverEvent("rearmed", "armed again: installation " + std::to_string(installation),
                        {{"installation", installation}}));
      }
    }
    size_t scripts = 0;
    for (const ServedFile& file : files) scripts += file.script ? 1 : 0;
    // The release list goes first, where the root has one; it is neither
    // a package nor a script, but it travels and counts as a file.
    ServedFile releaseList;
    bool listed = findServedRelease(config_.root, releaseList);
    if (listed) files.insert(files.begin(), releaseList);
    size_t packages = files.size() - scripts - (listed ? 1 : 0);
    log(serverEvent("started",
                    "started: " + std::to_string(packages) + " packages, " +
                        std::to_string(scripts) + " scripts",
                    [&] {
                      nlohmann::json fields = {{"packages", packages},
                                               {"scripts", scripts},
                                               {"files", files.size()},
                                               {"bytes", totalSize(files)}};
                      fields.update(lab);
                      return fields;
                    }()));
    files_ = std::move(files);
    nextFile_ = 0;
    endAnnounced_ = false;
    phase_ = Phase::started;
  } else if (request.payloadBeginsWith(messageTag(MessageType::awaitTermination))) {
    if (phase_ != Phase::done) {
      if (config_.lab != nullptr) config_.lab->finishInstallation(client_, epochMillisNow());
      log(serverEvent("done", "done"));
    }
    cursor_.close();
    phase_ = Phase::done;
    setText(reply, messageTag(MessageType::terminate));
    return true;
  } else {
    return false;  // not a request of this protocol
  }
  setText(reply, kConfirmation);
  return true;
}

bool ClientLink::serveFile(NetMessage& reply, const LinkLog& log) {
  if (!cursor_.isOpen()) {
    if (nextFile_ >= files_.size()) {
      if (!endAnnounced_ && phase_ == Phase::started) log(serverEvent("all-sent", "all files sent"));
      endAnnounced_ = true;
      setText(reply, "FILE\n\n-1\n");
      return true;
    }
    const ServedFile& file = files_[nextFile_];
    if (!cursor_.open(file.path, config_.readAhead)) {
      std::string reason = "cannot read " + file.path + ": " + strerror(errno);
      log(serverEvent("failed", reason, {{"reason", reason}, {"file", file.name}}));
      phase_ = Phase::failed;
      return false;
    }
    char* text = reinterpret_cast<char*>(reply.payload());
    size_t length = composeFileHeader(text, kMaxPayload, file.name.c_str(), file.mark);
    reply.setPayloadLength(static_cast<uint16_t>(length));
    log(serverEvent("sending",
                    "sending " + file.name + " (" + std::to_string(cursor_.size()) + " bytes)",
                    {{"file", file.name},
                     {"index", nextFile_ + 1},
                     {"count", files_.size()},
                     {"bytes", cursor_.size()}}));
    return true;
  }
  const ServedFile& file = files_[nextFile_];
  long count = cursor_.readNext(reply.payload(), config_.blockSize);
  if (count < 0) {
    std::string reason = "cannot read " + file.path + ": " + strerror(errno);
    log(serverEvent("failed", reason, {{"reason", reason}, {"file", file.name}}));
    cursor_.close();
    phase_ = Phase::failed;
    return false;
  }
  reply.setPayloadLength(static_cast<uint16_t>(count));
  if (count == 0) {
    log(serverEvent("sent",
                    "sent " + file.name + " (" + std::to_string(cursor_.offset()) + " bytes)",
                    {{"file", file.name}, {"bytes", cursor_.offset()}}));
    cursor_.close();
    ++nextFile_;
  }
  return true;
}

void ClientLink::abandon(const LinkLog& log) {
  if (cursor_.isOpen()) {
    log(serverEvent("gone", "gone while sending " + files_[nextFile_].name,
                    {{"file", files_[nextFile_].name}}));
  }
  cursor_.close();
  if (phase_ != Phase::done) phase_ = Phase::failed;
}
