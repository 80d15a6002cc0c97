#pragma once
// The status endpoint (--status): the page, /status.json and /metrics over HTTP,
// served by libmicrohttpd in a thread of its own. The installation loop
// only ever hands over a new snapshot (a pointer swap under a lock that no
// request holds for longer than a pointer copy), so however many clients
// come, or however slowly they read, the installations do not wait.
//
// Only GET and HEAD are answered. Connections are bounded in number, in the
// memory a request may take (its header), and in time: a client that opens
// connections and sends nothing loses them after kIdleSeconds.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "server/view/machine_board.h"

struct MHD_Daemon;

class StatusServer {
 public:
  static constexpr unsigned kMostConnections = 32;
  static constexpr unsigned kIdleSeconds = 10;
  static constexpr size_t kConnectionMemory = 32 * 1024;  // a request's header and more

  StatusServer() = default;
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;
  ~StatusServer();

  // Listens on the IPv4 `address` and `port` (0: any free port). False with
  // one line in `error`.
  [[nodiscard]] bool start(const std::string& address, uint16_t port, std::string& error);
  // The port listened on.
  uint16_t port() const { return port_; }
  // From now on requests are answered from `snapshot`.
  void publish(std::shared_ptr<const BoardSnapshot> snapshot);
  void stop();

  // The JSON of the current snapshot, made at most once per snapshot. Only
  // for the daemon's thread.
  std::shared_ptr<const std::string> currentJson();
  // GET /metrics of the current snapshot. Only for the daemon's thread.
  std::string currentMetrics();

 private:

  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::shared_ptr<const BoardSnapshot> snapshot_;
  // Only the daemon's thread uses these.
  std::shared_ptr<const BoardSnapshot> jsonSource_;
  std::shared_ptr<const std::string> json_;
};
