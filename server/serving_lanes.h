#pragma once
// The threads that answer requests. Each segment's requests are spread over
// lanes, one socket per lane (ServerSocket::spreadOver), by the processor
// that took each frame in; lane k's thread runs on those processors only.
// Sending a reply carries its frames through the kernel into the
// installer's socket and wakes the installer, which is most of what a reply
// costs: done on the processor the request arrived on, no other processor
// is woken, and every processor sends.
//
// The protocols, the lab and the operator's view stay one state, changed by
// one thread at a time: state() is held while a lane's requests are
// answered, never while their replies go out, and by whoever else reads or
// changes that state while the lanes run (the loop's thread, which keeps
// the time: expiry, reports, the page's refresh).
//
// A lane's thread that serves one socket waits for requests in the receive
// itself; one that serves several (a segment each) waits with poll().

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/protocol/server_protocol.h"
#include "server/protocol/server_socket.h"

// Lanes for this machine: one per processor the server may run on, at most
// eight (more gain nothing against the one state they share).
size_t defaultLanes();

// A socket of one lane and the protocol of its segment.
struct LaneSocket {
  ServerProtocol* protocol;
  ServerSocket* socket;
};

class ServingLanes {
 public:
  // Starts a thread for each of `lanes`; the caller's thread stays where
  // it may run.
  explicit ServingLanes(std::vector<std::vector<LaneSocket>> lanes);
  ServingLanes(const ServingLanes&) = delete;
  ServingLanes& operator=(const ServingLanes&) = delete;
  ~ServingLanes() { stop(); }

  std::mutex& state() { return state_; }
  // Whether a lane's thread could not wait for requests any more, and why.
  bool failed(std::string& error);
  // Ends the threads, when their waits end (within a tenth of a second).
  void stop();

 private:
  void serve(size_t lane);
  // Answers the requests waiting on `lane` (after waiting for one, when
  // its socket waits in the receive).
  void answer(const LaneSocket& lane);
  // Keeps the calling thread on the processors whose frames lane `lane`
  // takes; where it may run on none of them, it stays where it may.
  void runOnProcessorsOf(size_t lane) const;

  std::vector<std::vector<LaneSocket>> lanes_;
  cpu_set_t allowed_;  // where the server may run
  bool knowsAllowed_ = false;
  std::mutex state_;
  std::atomic<bool> stopping_{false};
  std::mutex failure_;
  std::string error_;
  std::vector<std::thread> threads_;
};
