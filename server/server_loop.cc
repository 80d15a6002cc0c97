#include "server/server_loop.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "netinstall/mac_address.h"
#include "server/event_log.h"
#include "server/install_tree.h"
#include "server/served_release.h"
#include "server/server_protocol.h"
#include "server/server_socket.h"

namespace {

// An installer that has not asked for 2 minutes has given up on its file
// (it waits 30 s at most); one silent for a day is forgotten. A disk being
// prepared between the offer and the start may take long: the link stays.
// What was dropped or not logged one by one is reported at every expiry.
constexpr int64_t kFileIdleSeconds = 120;
constexpr int64_t kForgetSeconds = 24 * 60 * 60;
constexpr int kExpiryEverySeconds = 10;

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) { stopSignal = signal; }

int64_t monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

// SIGINT and SIGTERM are blocked except inside the wait, so a stop request
// can never slip in between the check and the wait.
bool installStopSignals(sigset_t& waitMask) {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &blocked, &waitMask) != 0) return false;
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  signal(SIGPIPE, SIG_IGN);  // a closed log reader must not stop the installations
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

// One installation network: its socket and the installers that asked on it.
// Each segment answers with its own interface's hardware address, so an
// installer only ever talks to the segment it is on.
struct Segment {
  std::string interfaceName;
  ServerSocket socket;
  std::unique_ptr<ServerProtocol> protocol;
};

void serve(std::vector<std::unique_ptr<Segment>>& segments, const sigset_t& waitMask) {
  NetMessage request;
  NetMessage reply;
  std::vector<pollfd> waiting(segments.size());
  int64_t lastExpiry = monotonicSeconds();
  while (stopSignal == 0) {
    for (size_t i = 0; i < segments.size(); ++i) {
      waiting[i] = pollfd{segments[i]->socket.fd(), POLLIN, 0};
    }
    timespec limit{kExpiryEverySeconds, 0};
    int ready = ppoll(waiting.data(), waiting.size(), &limit, &waitMask);
    if (ready < 0 && errno != EINTR) {
      perror("netinstall-server: waiting for requests");
      return;
    }
    int64_t now = monotonicSeconds();
    for (size_t i = 0; ready > 0 && i < segments.size(); ++i) {
      if (waiting[i].revents == 0) continue;
      Segment& segment = *segments[i];
      long length;
      while ((length = segment.socket.receive(request)) >= 0) {
        size_t replyLength =
            segment.protocol->handle(request, static_cast<size_t>(length), reply, now);
        // A reply that does not go out is asked for again by the installer.
        if (replyLength > 0) (void)segment.socket.sendTo(reply.target(), reply, replyLength);
      }
    }
    if (now - lastExpiry >= kExpiryEverySeconds) {
      for (auto& segment : segments) {
        segment->protocol->expire(now, kFileIdleSeconds, kForgetSeconds);
        segment->protocol->report();
      }
      lastExpiry = now;
    }
  }
  for (auto& segment : segments) segment->protocol->report();
}

}  // namespace

int runServer(const ServerOptions& options) {
  std::string error;
  if (!checkInstallTree(options.root, error)) {
    fprintf(stderr, "netinstall-server: %s\n", error.c_str());
    return 1;
  }
  // A list that does not match the root is an operator's mistake, caught
  // here rather than by every installer that boots.
  std::string release;
  if (!checkServedRelease(options.root, release, error)) {
    fprintf(stderr, "netinstall-server: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<Segment>> segments;
  for (const std::string& name : options.interfaceNames) {
    segments.push_back(std::make_unique<Segment>());
    segments.back()->interfaceName = name;
    if (!segments.back()->socket.open(name, error)) {
      fprintf(stderr, "netinstall-server: %s\n", error.c_str());
      return 1;
    }
  }
  sigset_t waitMask;
  if (!installStopSignals(waitMask)) {
    perror("netinstall-server: signal handlers");
    return 1;
  }
  struct stat drivers;
  if (stat((options.root + "/drivers").c_str(), &drivers) != 0 || !S_ISDIR(drivers.st_mode)) {
    logEvent(nullptr, "note: " + options.root + "/drivers does not exist: no driver packages");
  }
  std::vector<std::string> unsignedFiles = listUnsignedPackages(options.root);
  if (!unsignedFiles.empty()) {
    std::string names;
    for (size_t i = 0; i < unsignedFiles.size() && i < 5; ++i) {
      names += (i ? ", " : "") + unsignedFiles[i];
    }
    if (unsignedFiles.size() > 5) names += ", ...";
    logEvent(nullptr, "warning: " + std::to_string(unsignedFiles.size()) +
                          " unsigned packages (installers with a package key refuse them): " + names);
  }
  logEvent(nullptr, release);
  LinkConfig config{options.root, options.keep, options.blockSize};
  for (auto& segment : segments) {
    char mac[kMacTextSize];
    formatMacAddressInto(segment->socket.address(), mac);
    logEvent(nullptr, "serving " + options.root + " on " + segment->interfaceName + " (" + mac +
                          ")" + (options.keep ? ", installers keep their configuration" : "") +
                          (segment->socket.sendsDirectly() ? "" : ", replies broadcast"));
    segment->protocol = std::make_unique<ServerProtocol>(segment->socket.address(), config, logEvent);
  }
  serve(segments, waitMask);
  logEvent(nullptr, stopSignal == SIGTERM ? "stopped by SIGTERM" : "stopped by SIGINT");
  return 0;
}
