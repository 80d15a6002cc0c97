// netinstall-crowd: many simulated installers at once on one card, for the
// scale benchmark and the crowd test. Each has a hardware address of its
// own (02:4b:00:00:00:00 upwards) and follows the installer's side of the
// protocol (crowd_installer.h); with --tftp the same number of TFTP
// clients fetch the same files from a TFTP server instead, the baseline.
// Prints one summary line; --report FILE writes a line per installer.

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "bench/crowd/crowd_frames.h"
#include "bench/crowd/crowd_installer.h"
#include "bench/crowd/tftp_client.h"
#include "cli/command_line.h"
#include "netinstall/clock.h"
#include "netinstall/mac_address.h"

namespace {

const cli::Program kProgram = {
    "netinstall-crowd",
    "usage: netinstall-crowd --interface IF --root DIR --installers N [--drivers]\n"
    "                        [--spread SECONDS] [--pause MIN-MAX] [--tftp ADDR]\n"
    "                        [--block-size N] [--seed N] [--time-limit SECONDS]\n"
    "                        [--report FILE] [--states FILE]\n"
    "  --interface IF    the card on the server's segment (its MTU must carry a\n"
    "                    whole 4096-byte message: 4124 or more)\n"
    "  --root DIR        the server's root: what every installer must receive\n"
    "  --installers N    simulated installers, 1 to 60000\n"
    "  --drivers         each fetches drivers/6.1.0-crowd.bdl first\n"
    "  --spread SECONDS  they power on within this time (default 3)\n"
    "  --pause MIN-MAX   seconds each prepares its disk, drawn (default 0-0)\n"
    "  --tftp ADDR       TFTP clients fetching the same files from ADDR instead\n"
    "  --block-size N    TFTP block size (default 4076)\n"
    "  --seed N          of the drawn start times and pauses (default 1)\n"
    "  --time-limit S    give up after S seconds (default 600)\n"
    "  --report FILE     one line per installer: index mac result first_usec\n"
    "                    last_usec pause_usec bytes [reason]\n"
    "  --states FILE     on SIGUSR1, every installer's step into FILE (index step\n"
    "                    drivers|install), then FILE.done\n"};

constexpr const char* kDriverFile = "drivers/6.1.0-crowd.bdl";

volatile sig_atomic_t statesWanted = 0;
void onStatesSignal(int) { statesWanted = 1; }

// Every installer's step, for a test that compares them with the server's
// board; FILE.done tells the reader the file is whole.
void writeStates(const std::string& path, const std::vector<CrowdInstaller>& crowd) {
  std::string text;
  for (size_t i = 0; i < crowd.size(); ++i) {
    text += std::to_string(i) + " " + stepName(crowd[i]) + " " +
            (crowd[i].inDriverPhase() ? "drivers" : "install") + "\n";
  }
  std::ofstream(path) << text;
  std::ofstream(path + ".done") << "";
}

struct CrowdOptions {
  std::string interfaceName, root, tftp, report, states;
  size_t installers = 0;
  bool drivers = false;
  double spread = 3, pauseMin = 0, pauseMax = 0, timeLimit = 600;
  size_t blockSize = kMaxPayload;
  unsigned seed = 1;
};

bool parseNumber(const std::string& text, double& value) {
  char* end = nullptr;
  value = strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && value >= 0;
}

bool parseCrowdOptions(int argc, char** argv, CrowdOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--drivers") {
      options.drivers = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = option.rfind("--", 0) == 0 ? option + " needs a value" : "unknown argument " + option;
      return false;
    }
    std::string value = argv[++i];
    double number = 0;
    bool numeric = parseNumber(value, number);
    if (option == "--interface") {
      options.interfaceName = value;
    } else if (option == "--root") {
      options.root = value;
    } else if (option == "--tftp") {
      options.tftp = value;
    } else if (option == "--report") {
      options.report = value;
    } else if (option == "--states") {
      options.states = value;
    } else if (option == "--installers" && numeric && number >= 1 && number <= 60000) {
      options.installers = static_cast<size_t>(number);
    } else if (option == "--spread" && numeric) {
      options.spread = number;
    } else if (option == "--time-limit" && numeric && number > 0) {
      options.timeLimit = number;
    } else if (option == "--block-size" && numeric && number >= 8 && number <= 65464) {
      options.blockSize = static_cast<size_t>(number);
    } else if (option == "--seed" && numeric) {
      options.seed = static_cast<unsigned>(number);
    } else if (option == "--pause" && value.find('-') != std::string::npos &&
               parseNumber(value.substr(0, value.find('-')), options.pauseMin) &&
               parseNumber(value.substr(value.find('-') + 1), options.pauseMax) &&
               options.pauseMin <= options.pauseMax) {
    } else {
      error = "unknown option or bad value: " + option + " " + value;
      return false;
    }
  }
  if (options.interfaceName.empty() || options.root.empty() || options.installers == 0) {
    error = "--interface, --root and --installers are required";
    return false;
  }
  return true;
}

// The files of `directory` under `root`, by name, as served.
std::vector<std::string> filesIn(const std::string& root, const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* listing = opendir((root + "/" + directory).c_str())) {
    while (dirent* entry = readdir(listing)) {
      if (entry->d_name[0] != '.') names.push_back(directory + "/" + entry->d_name);
    }
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool sumFile(const std::string& path, ExpectedFile& file) {
  std::ifstream input(path, std::ios::binary);
  if (!input) return false;
  ContentSum sum;
  std::vector<char> buffer(1 << 16);
  while (input.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || input.gcount()) {
    sum.add(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(input.gcount()));
  }
  file = ExpectedFile{sum.offset, sum.sum};
  return true;
}

// Every file an installer of this root may receive, by base name, and the
// TFTP clients' list in the order an installer receives them.
bool readRoot(const CrowdOptions& options, ExpectedFiles& expected,
              std::vector<std::string>& tftpFiles) {
  std::vector<std::string> all;
  if (options.drivers) all.push_back(kDriverFile);
  for (const char* directory : {"packages", "scripts", "held-scripts"}) {
    for (const std::string& path : filesIn(options.root, directory)) all.push_back(path);
  }
  struct stat status;
  bool listed = stat((options.root + "/release.lst").c_str(), &status) == 0;
  for (const std::string& path : all) {
    ExpectedFile file;
    if (!sumFile(options.root + "/" + path, file)) return false;
    expected[path.substr(path.rfind('/') + 1)] = file;
  }
  if (listed && !sumFile(options.root + "/release.lst", expected["release.lst"])) return false;
  tftpFiles = all;
  return !all.empty();
}

void raiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // too few descriptors show as failed clients
  }
}

// Timers of many clients: the earliest first; an entry whose client has
// another deadline by now is stale and passed over.
using Timers = std::priority_queue<std::pair<int64_t, uint32_t>,
                                   std::vector<std::pair<int64_t, uint32_t>>,
                                   std::greater<std::pair<int64_t, uint32_t>>>;

struct Outcome {
  bool done;
  int64_t first, last, pause;
  uint64_t bytes;
  std::string reason;
};

class FrameOutbox : public Outbox {
 public:
  explicit FrameOutbox(CrowdFrames& frames) : frames_(frames) {}
  void send(const NetMessage& message, const uint8_t* to) override { frames_.queue(message, to); }

 private:
  CrowdFrames& frames_;
};

// Runs `count` clients to their end or to `limitUsec`: `poke(i, now)`
// begins or times out client i and returns its deadline; `wait(usec)`
// waits for input at most that long and hands it to the clients.
template <typename Poke, typename Wait>
void runClients(size_t count, const std::vector<int64_t>& starts, int64_t limitUsec, Poke poke,
                Wait wait, const std::function<bool()>& allFinished,
                std::vector<int64_t>& deadlines, Timers& timers) {
  for (uint32_t i = 0; i < count; ++i) timers.emplace(starts[i], i);
  for (;;) {
    int64_t now = nowUsec();
    if (now >= limitUsec || allFinished()) return;
    while (!timers.empty() && timers.top().first <= now) {
      auto [at, index] = timers.top();
      timers.pop();
      if (at != deadlines[index]) continue;
      int64_t next = poke(index, now);
      deadlines[index] = next;
      if (next != INT64_MAX) timers.emplace(next, index);
    }
    int64_t until = timers.empty() ? now + 50000 : std::min(timers.top().first, now + 50000);
    wait(std::max<int64_t>(until - now, 0));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  CrowdOptions options;
  std::string error;
  if (!parseCrowdOptions(argc, argv, options, error)) return cli::usageError(kProgram, error);
  ExpectedFiles expected;
  std::vector<std::string> tftpFiles;
  if (!readRoot(options, expected, tftpFiles)) {
    fprintf(stderr, "netinstall-crowd: cannot read the files of %s\n", options.root.c_str());
    return 1;
  }
  raiseDescriptorLimit();
  size_t count = options.installers;
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> spread(0, options.spread);
  std::uniform_real_distribution<double> pause(options.pauseMin, options.pauseMax);
  int64_t begun = nowUsec();
  std::vector<int64_t> starts(count), pauses(count);
  for (size_t i = 0; i < count; ++i) {
    starts[i] = begun + static_cast<int64_t>(spread(random) * 1e6);
    pauses[i] = static_cast<int64_t>(pause(random) * 1e6);
  }
  std::vector<int64_t> deadlines(starts);
  Timers timers;
  int64_t limit = begun + static_cast<int64_t>(options.timeLimit * 1e6);
  std::vector<Outcome> outcomes;
  size_t finished = 0;
  CrowdTiming timing;

  if (options.tftp.empty()) {
    CrowdFrames frames;
    if (!frames.open(options.interfaceName, error)) {
      fprintf(stderr, "netinstall-crowd: %s\n", error.c_str());
      return 1;
    }
    FrameOutbox out(frames);
    signal(SIGUSR1, onStatesSignal);
    std::vector<CrowdInstaller> crowd;
    crowd.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      uint8_t mac[kMacSize] = {0x02, 0x4B, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8),
                               uint8_t(i)};
      crowd.emplace_back(mac, "crowd-" + std::to_string(i), options.drivers, pauses[i], &expected,
                         timing);
    }
    auto settle = [&](uint32_t index, bool wasFinished) {
      if (!wasFinished && crowd[index].finished()) ++finished;
    };
    runClients(
        count, starts, limit,
        [&](uint32_t index, int64_t now) {
          CrowdInstaller& one = crowd[index];
          bool was = one.finished();
          if (one.step() == CrowdInstaller::Step::idle) {
            one.begin(now, out);
          } else {
            one.timeout(now, out);
          }
          settle(index, was);
          return one.deadline();
        },
        [&](int64_t usec) {
          if (statesWanted != 0 && !options.states.empty()) {
            statesWanted = 0;
            writeStates(options.states, crowd);
          }
          frames.flush();
          pollfd ready{frames.fd(), POLLIN, 0};
          (void)poll(&ready, 1, static_cast<int>((usec + 999) / 1000));
          int64_t now = nowUsec();
          frames.receiveAll([&](const NetMessage& message, long length) {
            const uint8_t* to = message.target();
            if (to[0] != 0x02 || to[1] != 0x4B) return;  // not one of ours
            uint32_t index = uint32_t(to[2]) << 24 | uint32_t(to[3]) << 16 |
                             uint32_t(to[4]) << 8 | to[5];
            if (index >= count) return;
            CrowdInstaller& one = crowd[index];
            bool was = one.finished();
            one.receive(message, length, now, out);
            settle(index, was);
            if (one.deadline() != deadlines[index]) {
              deadlines[index] = one.deadline();
              if (one.deadline() != INT64_MAX) timers.emplace(one.deadline(), index);
            }
          });
          frames.flush();
        },
        [&] { return finished == count; }, deadlines, timers);
    for (const CrowdInstaller& one : crowd) {
      outcomes.push_back({one.step() == CrowdInstaller::Step::done, one.firstRequest(),
                          one.lastByte(), one.pauseUsec(), one.bytes(),
                          one.finished() ? one.failure() : "not finished in time"});
    }
  } else {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(69);
    if (inet_pton(AF_INET, options.tftp.c_str(), &server.sin_addr) != 1) {
      return cli::usageError(kProgram, "--tftp needs an IPv4 address, not " + options.tftp);
    }
    int poller = epoll_create1(EPOLL_CLOEXEC);
    std::vector<std::unique_ptr<TftpClient>> crowd;
    for (size_t i = 0; i < count; ++i) {
      crowd.push_back(std::make_unique<TftpClient>(server, &tftpFiles, &expected,
                                                   options.blockSize,
                                                   options.drivers ? pauses[i] : 0, timing));
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<uint32_t>(i);
      if (!crowd.back()->open() || epoll_ctl(poller, EPOLL_CTL_ADD, crowd.back()->fd(), &event)) {
        fprintf(stderr, "netinstall-crowd: cannot open client %zu's socket: %s\n", i,
                strerror(errno));
        return 1;
      }
    }
    auto settle = [&](uint32_t index, bool wasFinished) {
      if (!wasFinished && crowd[index]->finished()) ++finished;
    };
    runClients(
        count, starts, limit,
        [&](uint32_t index, int64_t now) {
          TftpClient& one = *crowd[index];
          bool was = one.finished();
          if (one.firstRequest() < 0) {
            one.begin(now);
          } else {
            one.timeout(now);
          }
          settle(index, was);
          return one.deadline();
        },
        [&](int64_t usec) {
          epoll_event events[256];
          int ready = epoll_wait(poller, events, 256, static_cast<int>((usec + 999) / 1000));
          int64_t now = nowUsec();
          for (int i = 0; i < ready; ++i) {
            uint32_t index = events[i].data.u32;
            TftpClient& one = *crowd[index];
            bool was = one.finished();
            one.readable(now);
            settle(index, was);
            if (one.deadline() != deadlines[index]) {
              deadlines[index] = one.deadline();
              if (one.deadline() != INT64_MAX) timers.emplace(one.deadline(), index);
            }
          }
        },
        [&] { return finished == count; }, deadlines, timers);
    for (const auto& one : crowd) {
      outcomes.push_back({one->succeeded(), one->firstRequest(), one->lastByte(),
                          one->pauseUsec(), one->bytes(),
                          one->finished() ? one->failure() : "not finished in time"});
    }
  }

  size_t done = 0;
  uint64_t bytes = 0;
  int64_t last = begun;
  for (const Outcome& outcome : outcomes) {
    done += outcome.done ? 1 : 0;
    bytes += outcome.bytes;
    last = std::max(last, outcome.last);
  }
  if (!options.report.empty()) {
    FILE* report = fopen(options.report.c_str(), "w");
    if (report == nullptr) {
      fprintf(stderr, "netinstall-crowd: cannot write %s: %s\n", options.report.c_str(),
              strerror(errno));
      return 1;
    }
    for (size_t i = 0; i < outcomes.size(); ++i) {
      const Outcome& o = outcomes[i];
      uint8_t mac[kMacSize] = {0x02, 0x4B, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8),
                               uint8_t(i)};
      char text[kMacTextSize];
      formatMacAddressInto(mac, text);
      fprintf(report, "%zu %s %s %lld %lld %lld %llu %s\n", i, text, o.done ? "done" : "failed",
              static_cast<long long>(o.first - begun), static_cast<long long>(o.last - begun),
              static_cast<long long>(o.pause), static_cast<unsigned long long>(o.bytes),
              o.reason.c_str());
    }
    fclose(report);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("installers %zu done %zu failed %zu bytes %llu seconds %.3f cpu %.3f\n", count, done,
         count - done, static_cast<unsigned long long>(bytes),
         static_cast<double>(last - begun) / 1e6, cpu);
  return done == count ? 0 : 1;
}
