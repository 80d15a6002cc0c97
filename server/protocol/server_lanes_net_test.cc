// The server's requests spread over lanes by the processor that took each
// frame in: frames sent from a thread held on one processor (a veth takes
// them in on the sender's processor) reach that processor's lane only,
// fragments and all; the lanes' replies never share an IP identification;
// and one socket again takes everything once the other lanes are closed.

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "scratch_directory.h"
#include "netinstall/frame_socket.h"
#include "netinstall/net_test_support.h"
#include "server/protocol/server_socket.h"

namespace {

bool runOn(int processor) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(processor, &one);
  return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

// What each lane takes in within a moment.
std::vector<size_t> takenPerLane(std::vector<ServerSocket*>& lanes) {
  usleep(50000);
  std::vector<size_t> taken;
  NetMessage message;
  ReceivedDatagram arrival;
  for (ServerSocket* lane : lanes) {
    size_t count = lane->receive(), whole = 0;
    for (size_t i = 0; i < count; ++i) whole += lane->datagram(i, message, arrival);
    taken.push_back(whole);
  }
  return taken;
}

TEST(ServerLanesTest, EachLaneTakesTheFramesOfItsProcessors) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> processors;
  for (int cpu = 0; cpu < CPU_SETSIZE && processors.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) processors.push_back(cpu);
  }
  if (processors.size() < 2) GTEST_SKIP() << "one processor: nothing to spread over";
  alarm(60);
  ScratchDirectory scratch;
  auto space = NetNamespace::create();
  ASSERT_TRUE(space);
  ASSERT_EQ(space->run({"ip", "link", "add", "srv0", "type", "veth", "peer", "name", "card0"}), 0);
  ASSERT_EQ(space->run({"ip", "link", "set", "srv0", "up"}), 0);
  ASSERT_EQ(space->run({"ip", "link", "set", "card0", "up"}), 0);
  std::vector<int> chosen = processors;
  pid_t child = space->start([chosen] {
    ServerSocket first;
    std::vector<std::unique_ptr<ServerSocket>> more;
    std::string problem;
    if (!first.open("srv0", problem) || !first.spreadOver(2, more, problem) || more.size() != 1) {
      fprintf(stderr, "cannot spread: %s\n", problem.c_str());
      return 10;
    }
    std::vector<ServerSocket*> lanes = {&first, more[0].get()};
    FrameSocket card;
    const uint8_t station[kMacSize] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    if (!card.open("card0", station)) return 11;
    // A short request, and one in three fragments.
    std::string small(40, 'r'), large = patternData(4000, 7);
    for (int cpu : chosen) {
      if (!runOn(cpu)) return 12;
      if (card.send(first.address(), small.data(), small.size()) < 0 ||
          card.send(first.address(), large.data(), large.size()) < 0) {
        return 13;
      }
      std::vector<size_t> taken = takenPerLane(lanes);
      size_t lane = static_cast<size_t>(cpu) % 2;
      if (taken[lane] != 2 || taken[1 - lane] != 0) {
        fprintf(stderr, "sent on processor %d: lane 0 took %zu, lane 1 took %zu\n", cpu,
                taken[0], taken[1]);
        return 14;
      }
    }
    // Each lane numbers its datagrams from a class of its own: the replies
    // of two lanes to one station never share an IP identification, which
    // would make its kernel join their fragments. Captured in the order
    // sent: each reply's three fragments, the lanes taking turns.
    int capture = openCapture("card0");
    if (capture < 0) return 17;
    const int kTurns = 4;
    for (int turn = 0; turn < kTurns; ++turn) {
      for (ServerSocket* lane : lanes) {
        memcpy(lane->nextReply().bytes, large.data(), large.size());
        lane->queue(station, large.size());
        lane->sendQueued();
      }
    }
    std::set<uint16_t> numbers;
    for (int reply = 0; reply < 2 * kTurns; ++reply) {
      uint16_t number = 0;
      for (int fragment = 0; fragment < 3; ++fragment) {
        uint8_t packet[2048];
        pollfd waiting{capture, POLLIN, 0};
        if (poll(&waiting, 1, 2000) <= 0 || recv(capture, packet, sizeof packet, 0) < 20) {
          return 18;
        }
        uint16_t id = static_cast<uint16_t>(packet[4] << 8 | packet[5]);
        if (fragment == 0) number = id;
        if (id != number) {
          fprintf(stderr, "reply %d of lane %d: fragment %d numbered %u\n", reply, reply % 2,
                  fragment, id);
          return 19;
        }
      }
      numbers.insert(number);
    }
    close(capture);
    if (numbers.size() != 2 * kTurns) {
      fprintf(stderr, "%zu replies numbered alike\n", 2 * kTurns - numbers.size());
      return 20;
    }
    more.clear();
    for (int cpu : chosen) {
      if (!runOn(cpu) || card.send(first.address(), small.data(), small.size()) < 0) return 15;
      lanes.resize(1);
      if (takenPerLane(lanes)[0] != 1) {
        fprintf(stderr, "alone again, the first lane missed processor %d's frame\n", cpu);
        return 16;
      }
    }
    return 0;
  }, scratch / "lanes.log");
  EXPECT_EQ(exitCodeOf(waitBounded(child, 30)), 0) << readWholeFile(scratch / "lanes.log");
}

}  // namespace
