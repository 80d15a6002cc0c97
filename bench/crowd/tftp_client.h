#pragma once
// The same crowd's baseline: one TFTP client (RFC 1350, with the block
// size option of RFC 2348) fetching the same files from tftpd-hpa, one
// after another, with the same pause after the first file as a simulated
// installer makes between its drivers and its installation. Its own UDP
// socket; driven by the crowd's loop like a CrowdInstaller.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/crowd/crowd_installer.h"

class TftpClient {
 public:
  // `files` are paths under the server's root, with their expected sizes and sums under their
  // base names in `expected`.
  TftpClient(sockaddr_in server, const std::vector<std::string>* files,
             const ExpectedFiles* expected, size_t blockSize, int64_t pauseUsec,
             CrowdTiming timing);
  ~TftpClient();

  // False when no socket can be had.
  [[nodiscard]] bool open();
  int fd() const { return fd_; }
  void begin(int64_t now);
  // Its socket is readable.
  void readable(int64_t now);
  void timeout(int64_t now);

  int64_t deadline() const { return deadline_; }
  bool finished() const { return done_ || !failure_.empty(); }
  bool succeeded() const { return done_; }
  const std::string& failure() const { return failure_; }
  int64_t firstRequest() const { return firstRequest_; }
  int64_t lastByte() const { return lastByte_; }
  int64_t pauseUsec() const { return pauseUsec_; }
  uint64_t bytes() const { return bytes_; }

 private:
  void requestFile(int64_t now);
  void sendLast(int64_t now);
  void acknowledge(uint16_t block, int64_t now);
  void fail(const std::string& why);
  void fileArrived(int64_t now);

  sockaddr_in server_;
  sockaddr_in peer_{};  // the transfer's own port once it answered
  const std::vector<std::string>* files_;
  const ExpectedFiles* expected_;
  size_t blockSize_;
  int64_t pauseUsec_;
  CrowdTiming timing_;
  int fd_ = -1;
  size_t file_ = 0;
  bool pausing_ = false;
  bool done_ = false;
  uint16_t expectedBlock_ = 1;
  std::vector<uint8_t> last_;  // the last packet sent, for a repetition
  bool lastToServer_ = true;   // sent to port 69, not the transfer's
  int sends_ = 0;
  int64_t deadline_ = INT64_MAX;
  int64_t firstRequest_ = -1;
  int64_t lastByte_ = -1;
  ContentSum content_;
  uint64_t bytes_ = 0;
  std::string failure_;
};
