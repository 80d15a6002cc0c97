#include "bench/crowd/tftp_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

enum Opcode : uint16_t { kRead = 1, kData = 3, kAck = 4, kError = 5, kOptionAck = 6 };

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TftpClient::TftpClient(sockaddr_in server, const std::vector<std::string>* files,
                       const ExpectedFiles* expected, size_t blockSize, int64_t pauseUsec,
                       CrowdTiming timing)
    : server_(server), files_(files), expected_(expected), blockSize_(blockSize),
      pauseUsec_(pauseUsec), timing_(timing) {}

TftpClient::~TftpClient() {
  if (fd_ >= 0) close(fd_);
}

bool TftpClient::open() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return fd_ >= 0;
}

void TftpClient::begin(int64_t now) {
  firstRequest_ = now;
  requestFile(now);
}

void TftpClient::requestFile(int64_t now) {
  // opcode, the path, "octet", then the option "blksize" and its value,
  // each text ended by a zero byte.
  last_.assign({0, kRead});
  for (const std::string& text : {(*files_)[file_], std::string("octet"), std::string("blksize"),
                                  std::to_string(blockSize_)}) {
    last_.insert(last_.end(), text.begin(), text.end());
    last_.push_back(0);
  }
  lastToServer_ = true;
  peer_ = sockaddr_in{};
  expectedBlock_ = 1;
  content_ = ContentSum{};
  sends_ = 0;
  sendLast(now);
}

void TftpClient::sendLast(int64_t now) {
  const sockaddr_in& to = lastToServer_ ? server_ : peer_;
  // A datagram refused on the way is sent again after the time-out.
  (void)sendto(fd_, last_.data(), last_.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
  ++sends_;
  deadline_ = now + timing_.replyTimeoutUsec;
}

void TftpClient::acknowledge(uint16_t block, int64_t now) {
  last_ = {0, kAck, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
  lastToServer_ = false;
  sends_ = 0;
  sendLast(now);
}

void TftpClient::fail(const std::string& why) {
  failure_ = why;
  deadline_ = INT64_MAX;
}

void TftpClient::timeout(int64_t now) {
  if (finished()) {
    deadline_ = INT64_MAX;
  } else if (pausing_) {
    pausing_ = false;
    requestFile(now);
  } else if (sends_ < timing_.transferAttempts) {
    sendLast(now);
  } else {
    fail("no answer for " + (*files_)[file_]);
  }
}

void TftpClient::readable(int64_t now) {
  uint8_t packet[65536];
  for (;;) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    long length = recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from),
                           &fromLength);
    if (length < 0) return;
    if (finished() || pausing_ || length < 4) continue;
    if (peer_.sin_port != 0 && from.sin_port != peer_.sin_port) continue;  // an old transfer
    uint16_t opcode = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
    if (opcode == kError) return fail("error from the server for " + (*files_)[file_]);
    if (peer_.sin_port == 0) peer_ = from;
    if (opcode == kOptionAck && expectedBlock_ == 1) {
      acknowledge(0, now);
      continue;
    }
    if (opcode != kData) continue;
    uint16_t block = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
    if (block != expectedBlock_) continue;  // a repetition: our acknowledgement goes again on time-out
    size_t data = static_cast<size_t>(length) - 4;
    content_.add(packet + 4, data);
    bytes_ += data;
    lastByte_ = now;
    ++expectedBlock_;
    acknowledge(block, now);
    if (data < blockSize_) fileArrived(now);
  }
}

void TftpClient::fileArrived(int64_t now) {
  std::string name = baseName((*files_)[file_]);
  const ExpectedFile& expected = expected_->at(name);
  if (content_.offset != expected.size || content_.sum != expected.sum) {
    return fail(name + " arrived altered");
  }
  if (++file_ == files_->size()) {
    done_ = true;
    deadline_ = INT64_MAX;
    return;
  }
  if (file_ == 1 && pauseUsec_ > 0) {
    pausing_ = true;
    deadline_ = now + pauseUsec_;
    return;
  }
  requestFile(now);
}
