#include "server/serving_lanes.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/protocol/wall_clock.h"

namespace {

constexpr size_t kMostDefaultLanes = 8;
// A lane's thread looks at the stop request at least this often.
constexpr int kStopCheckMillis = 100;

}  // namespace

size_t defaultLanes() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
  size_t processors = static_cast<size_t>(CPU_COUNT(&allowed));
  return std::clamp<size_t>(processors, 1, kMostDefaultLanes);
}

ServingLanes::ServingLanes(std::vector<std::vector<LaneSocket>> lanes) : lanes_(std::move(lanes)) {
  knowsAllowed_ = sched_getaffinity(0, sizeof allowed_, &allowed_) == 0;
  for (size_t lane = 0; lane < lanes_.size(); ++lane) {
    threads_.emplace_back([this, lane] { serve(lane); });
  }
}

void ServingLanes::runOnProcessorsOf(size_t lane) const {
  size_t lanes = lanes_.size();
  if (lanes <= 1 || !knowsAllowed_) return;
  cpu_set_t chosen;
  CPU_ZERO(&chosen);
  for (size_t processor = lane; processor < CPU_SETSIZE; processor += lanes) {
    if (CPU_ISSET(processor, &allowed_)) CPU_SET(processor, &chosen);
  }
  // A lane that may run nowhere its frames arrive still answers them.
  if (CPU_COUNT(&chosen) > 0) (void)pthread_setaffinity_np(pthread_self(), sizeof chosen, &chosen);
}

void ServingLanes::answer(const LaneSocket& lane) {
  NetMessage request;
  ReceivedDatagram arrival;
  ServerSocket& socket = *lane.socket;
  size_t count;
  do {
    count = socket.receive();
    if (count == 0) return;
    {
      std::lock_guard<std::mutex> hold(state_);
      int64_t now = monotonicSeconds();
      for (size_t index = 0; index < count; ++index) {
        if (!socket.datagram(index, request, arrival)) continue;
        NetMessage& reply = socket.nextReply();
        size_t replyLength = lane.protocol->handle(request, arrival, reply, now);
        if (replyLength > 0) socket.queue(reply.target(), replyLength);
      }
    }
    socket.sendQueued();
  } while (count == ServerSocket::kReceiveBatch);
}

bool ServingLanes::failed(std::string& error) {
  std::lock_guard<std::mutex> hold(failure_);
  if (error_.empty()) return false;
  error = error_;
  return true;
}

void ServingLanes::stop() {
  stopping_.store(true);
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

// The stop signals stay blocked on this thread (it inherits the mask of the
// loop's thread, which alone takes them).
void ServingLanes::serve(size_t lane) {
  runOnProcessorsOf(lane);
  const std::vector<LaneSocket>& sockets = lanes_[lane];
  if (sockets.size() == 1 && sockets[0].socket->waitInReceive(kStopCheckMillis)) {
    while (!stopping_.load()) answer(sockets[0]);
    return;
  }
  std::vector<pollfd> waiting(sockets.size());
  while (!stopping_.load()) {
    for (size_t i = 0; i < sockets.size(); ++i) {
      waiting[i] = pollfd{sockets[i].socket->fd(), POLLIN, 0};
    }
    int ready = poll(waiting.data(), waiting.size(), kStopCheckMillis);
    if (ready < 0 && errno != EINTR) {
      std::lock_guard<std::mutex> hold(failure_);
      error_ = std::string("cannot wait for requests: ") + strerror(errno);
      return;
    }
    for (size_t i = 0; ready > 0 && i < sockets.size(); ++i) {
      if (waiting[i].revents != 0) answer(sockets[i]);
    }
  }
}
