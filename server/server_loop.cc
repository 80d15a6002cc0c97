#include "server/server_loop.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netinstall/mac_address.h"
#include "server/lab/lab_machines.h"
#include "server/lab/machine_plan.h"
#include "server/protocol/wall_clock.h"
#include "server/view/operator_view.h"
#include "server/protocol/install_tree.h"
#include "server/protocol/read_ahead_pool.h"
#include "server/protocol/served_release.h"
#include "server/protocol/server_protocol.h"
#include "server/protocol/server_socket.h"
#include "server/service_manager.h"
#include "server/serving_lanes.h"
#include "server/protocol/session_limits.h"

namespace {

// An installer that has not asked for 2 minutes has given up on its file
// (it waits 30 s at most); one silent for a day is forgotten. A disk being
// prepared between the offer and the start may take long: the link stays.
// What was dropped or not logged one by one is reported at every expiry.
constexpr int64_t kFileIdleSeconds = kAskingSilenceSeconds;
constexpr int64_t kForgetSeconds = 24 * 60 * 60;
// Descriptors besides the sessions' open files and the lanes' sockets: the
// segments' first sockets, the events file, the page's connections (32),
// the log.
constexpr rlim_t kDescriptorsBesideSessions = 64;

// Every session may hold one open file: the descriptor limit must allow
// them all, or the crowd's last installers fail with "Too many open
// files". The soft limit is raised as far as the hard one allows; the
// session limit is lowered to what fits, and the operator told.
size_t fitSessionsToDescriptors(size_t wanted, size_t sockets, std::string& note) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  rlim_t besides = kDescriptorsBesideSessions + sockets;
  rlim_t needed = static_cast<rlim_t>(wanted) + besides;
  if (limit.rlim_cur < needed) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed ? needed
                                                                                 : limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // read back below: what we have counts
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  }
  if (limit.rlim_cur >= needed) return wanted;
  size_t fits = limit.rlim_cur > besides * 2 ? static_cast<size_t>(limit.rlim_cur - besides) : 1;
  note = "warning: " + std::to_string(limit.rlim_cur) + " open files allowed: serving " +
         std::to_string(fits) + " installers at once, not " + std::to_string(wanted);
  return fits;
}
constexpr int kExpiryEverySeconds = 10;

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) { stopSignal = signal; }

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
// Its requests may be spread over more sockets, one per thread answering
// (lanes, see serving_lanes.h).
struct Segment {
  std::string interfaceName;
  ServerSocket socket;
  std::vector<std::unique_ptr<ServerSocket>> moreLanes;
  std::unique_ptr<ServerProtocol> protocol;

  size_t lanes() const { return 1 + moreLanes.size(); }
  ServerSocket& lane(size_t index) { return index == 0 ? socket : *moreLanes[index - 1]; }
};

// Serves until a stop signal (true) or until waiting itself fails (false,
// with the reason in `error`).
// Machines done that have not said they are up within the operator's time.
void reportOverdue(LabMachines* lab, int64_t timeoutSeconds, OperatorView& view) {
  if (lab == nullptr) return;
  for (const auto& [mac, millis] : lab->overdue(epochMillisNow(), timeoutSeconds * 1000)) {
    std::string after = std::to_string(millis / 1000) + " s";
    view.record(mac.data(), serverEvent("not-up", "not up: no report " + after + " after done",
                                        {{"seconds", millis / 1000}}));
  }
}

bool serve(std::vector<std::unique_ptr<Segment>>& segments, OperatorView& view,
           LabMachines* lab, int64_t upTimeoutSeconds, const sigset_t& waitMask,
           std::string& error) {
  std::vector<const ServerProtocol*> protocols;
  for (auto& segment : segments) protocols.push_back(segment->protocol.get());
  size_t laneCount = 1;
  for (auto& segment : segments) laneCount = std::max(laneCount, segment->lanes());
  std::vector<std::vector<LaneSocket>> lanes(laneCount);
  for (auto& segment : segments) {
    for (size_t lane = 0; lane < segment->lanes(); ++lane) {
      lanes[lane].push_back({segment->protocol.get(), &segment->lane(lane)});
    }
  }
  ServingLanes serving(std::move(lanes));
  int64_t lastExpiry = monotonicSeconds();
  int refreshMillis = view.refreshMillis();
  int64_t lastRefresh = monotonicMillis();
  // The page's first answers already show the server's start, not an empty
  // state that reads as a server started in 1970.
  if (refreshMillis > 0) {
    std::lock_guard<std::mutex> hold(serving.state());
    view.refresh(protocols);
  }
  bool failed = false;
  // The lanes' threads answer; this one keeps the time and takes the stop
  // signals.
  while (stopSignal == 0 && !failed) {
    timespec limit{kExpiryEverySeconds, 0};
    if (refreshMillis > 0) limit = timespec{refreshMillis / 1000, refreshMillis % 1000 * 1000000L};
    if (ppoll(nullptr, 0, &limit, &waitMask) < 0 && errno != EINTR) {
      error = std::string("cannot wait for requests: ") + strerror(errno);
      failed = true;
      break;
    }
    failed = serving.failed(error);
    int64_t now = monotonicSeconds();
    bool expiring = now - lastExpiry >= kExpiryEverySeconds;
    bool refreshing = refreshMillis > 0 && monotonicMillis() - lastRefresh >= refreshMillis;
    if (!expiring && !refreshing) continue;
    std::lock_guard<std::mutex> hold(serving.state());
    if (expiring) {
      for (auto& segment : segments) {
        segment->protocol->expire(now, kFileIdleSeconds, kForgetSeconds);
        segment->protocol->report();
      }
      reportOverdue(lab, upTimeoutSeconds, view);
      lastExpiry = now;
    }
    if (refreshing) {
      view.refresh(protocols);
      lastRefresh = monotonicMillis();
    }
  }
  serving.stop();
  for (auto& segment : segments) segment->protocol->report();
  return !failed;
}

// "packages: 3, all signed; scripts: 1; held scripts: 1": what installers
// will receive, for the operator's first look.
std::string describeServedFiles(const std::string& root, size_t unsignedPackages) {
  std::vector<ServedFile> files;
  std::string error;
  if (!listInstallFiles(root, files, error)) return "packages: " + error;
  size_t packages = 0, scripts = 0, held = 0;
  for (const ServedFile& file : files) {
    if (!file.script) {
      ++packages;
    } else if (file.mark == kScriptMark) {
      ++scripts;
    } else {
      ++held;
    }
  }
  std::string signedText = unsignedPackages == 0 ? "all signed"
                           : unsignedPackages >= packages
                               ? "none signed"
                               : std::to_string(unsignedPackages) + " not signed";
  return "packages: " + std::to_string(packages) + ", " + signedText +
         "; scripts: " + std::to_string(scripts) + "; held scripts: " + std::to_string(held);
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
  // Before the segments: their sessions' files give their buffers back
  // when they are destroyed.
  ReadAheadPool readAhead;
  std::vector<std::unique_ptr<Segment>> segments;
  for (const std::string& name : options.interfaceNames) {
    segments.push_back(std::make_unique<Segment>());
    segments.back()->interfaceName = name;
    if (!segments.back()->socket.open(name, error)) {
      fprintf(stderr, "netinstall-server: %s\n", error.c_str());
      return 1;
    }
  }
  // Per-machine files and secrets go to the machine a request comes from,
  // which only its frame tells: the address in the header is a claim.
  bool inventory = isInventoryRoot(options.root);
  for (auto& segment : segments) {
    if (!inventory || segment->socket.knowsFrameSources()) continue;
    fprintf(stderr,
            "netinstall-server: %s was made from a lab inventory: its machines' files go by the "
            "hardware address each request comes from, which needs a packet socket on %s (%s)\n",
            options.root.c_str(), segment->interfaceName.c_str(),
            segment->socket.framesProblem().c_str());
    return 1;
  }
  // A thread per processor answers requests (serving_lanes.h).
  size_t threads = options.threads > 0 ? options.threads : defaultLanes();
  std::string spreadNote;
  for (auto& segment : segments) {
    std::string problem;
    if (threads > 1 && !segment->socket.spreadOver(threads, segment->moreLanes, problem)) {
      spreadNote = "warning: " + segment->interfaceName + ": " + problem +
                   ": one thread answers its installers";
    }
  }
  size_t laneSockets = 0;
  for (auto& segment : segments) laneSockets += 2 * segment->moreLanes.size();  // in and out
  std::string descriptorNote;
  size_t mostInstallers = fitSessionsToDescriptors(
      options.mostInstallers > 0 ? options.mostInstallers : kMostInstallers, laneSockets,
      descriptorNote);
  sigset_t waitMask;
  if (!installStopSignals(waitMask)) {
    perror("netinstall-server: signal handlers");
    return 1;
  }
  // After the signals are blocked: the page's thread inherits the mask, so
  // a stop request always reaches the loop.
  // Rows for every session, and as many for stations waiting or finished.
  OperatorView view(isatty(STDOUT_FILENO) == 1,
                    std::max(kMostMachinesShown, 2 * mostInstallers * segments.size()));
  if (!view.open(options, error)) {
    fprintf(stderr, "netinstall-server: %s\n", error.c_str());
    return 1;
  }
  struct stat drivers;
  if (stat((options.root + "/drivers").c_str(), &drivers) != 0 || !S_ISDIR(drivers.st_mode)) {
    view.note("note: " + options.root + "/drivers does not exist: no driver packages");
  }
  std::vector<std::string> unsignedFiles = listUnsignedPackages(options.root);
  size_t unsignedPackages = 0;
  for (const std::string& file : unsignedFiles) unsignedPackages += file.rfind("packages/", 0) == 0;
  view.note(describeServedFiles(options.root, unsignedPackages));
  if (!unsignedFiles.empty()) {
    std::string names;
    for (size_t i = 0; i < unsignedFiles.size() && i < 5; ++i) {
      names += (i ? ", " : "") + unsignedFiles[i];
    }
    if (unsignedFiles.size() > 5) names += ", ...";
    view.note("warning: " + std::to_string(unsignedFiles.size()) +
              " unsigned packages (installers with a package key refuse them): " + names);
  }
  for (auto& segment : segments) {
    if (segment->socket.knowsFrameSources()) continue;
    view.note("warning: " + segment->interfaceName + ": " + segment->socket.framesProblem() +
              ": installers are known by the hardware addresses they report, not by their "
              "frames' source");
  }
  std::unique_ptr<LabMachines> lab;
  if (options.statePath.empty() && isInventoryRoot(options.root)) {
    fprintf(stderr,
            "netinstall-server: %s was made from a lab inventory: it needs --state DIR, where "
            "each machine's installations are kept (its secrets go to one installation)\n",
            options.root.c_str());
    return 1;
  }
  if (!options.statePath.empty()) {
    LabState state(options.statePath);
    if (!state.open(error)) {
      fprintf(stderr, "netinstall-server: %s\n", error.c_str());
      return 1;
    }
    lab = std::make_unique<LabMachines>(std::move(state), options.root);
    view.note("lab state in " + options.statePath + ": installed machines wait to be armed; "
              "up reports after done within " + std::to_string(options.upTimeoutSeconds) + " s");
  }
  if (!descriptorNote.empty()) view.note(descriptorNote);
  if (!spreadNote.empty()) view.note(spreadNote);
  LinkConfig config{options.root, options.keep, options.blockSize, lab.get(), &readAhead};
  view.record(nullptr, serverEvent("release", release));
  if (!view.pageAddress().empty()) view.note("status page: " + view.pageAddress());
  if (!options.eventsPath.empty()) view.note("events appended to " + options.eventsPath);
  // The serving lines come last: whoever waits for them finds the others.
  for (auto& segment : segments) {
    char mac[kMacTextSize];
    formatMacAddressInto(segment->socket.address(), mac);
    view.record(nullptr, serverEvent("serving",
                                     "serving " + options.root + " on " + segment->interfaceName +
                                         " (" + mac + ")" +
                                         (options.keep ? ", installers keep their configuration"
                                                       : "") +
                                         (segment->socket.sendsDirectly() ? ""
                                                                          : ", replies broadcast"),
                                     {{"root", options.root},
                                      {"interface", segment->interfaceName},
                                      {"address", mac},
                                      {"keep", options.keep}}));
    segment->protocol = std::make_unique<ServerProtocol>(
        segment->socket.address(), config,
        [&view](const uint8_t* client, const ServerEvent& event) { view.record(client, event); },
        mostInstallers);
  }
  // Every socket is bound and the page listens: a unit ordered after this
  // one finds the server answering.
  if (!notifyServiceManager("READY=1\nSTATUS=serving " + options.root, error)) {
    view.note("warning: " + error);
  }
  bool stoppedBySignal =
      serve(segments, view, lab.get(), options.upTimeoutSeconds, waitMask, error);
  std::string ignored;
  (void)notifyServiceManager("STOPPING=1", ignored);
  if (stoppedBySignal) {
    const char* signalName = stopSignal == SIGTERM ? "SIGTERM" : "SIGINT";
    view.record(nullptr, serverEvent("stopped", std::string("stopped by ") + signalName,
                                     {{"signal", signalName}}));
  } else {
    // The installers still running are left without a server: the operator
    // and the scripts watching the exit status must hear it as a failure.
    fprintf(stderr, "netinstall-server: %s\n", error.c_str());
    view.record(nullptr, serverEvent("stopped", "stopped: " + error, {{"error", error}}));
  }
  std::vector<const ServerProtocol*> protocols;
  for (auto& segment : segments) protocols.push_back(segment->protocol.get());
  view.finish(protocols);
  return stoppedBySignal ? 0 : 1;
}
