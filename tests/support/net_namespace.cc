#include "net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// In a fresh child: die with the parent, and never outlive a test.
void bindToParent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
}

void redirectOutput(const std::string& outputPath) {
  int input = open("/dev/null", O_RDONLY);
  if (input >= 0) dup2(input, 0);
  if (outputPath.empty()) return;
  int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  dup2(fd, 1);
  dup2(fd, 2);
}

bool enterNamespace(pid_t holder) {
  std::string path = "/proc/" + std::to_string(holder) + "/ns/net";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool entered = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return entered;
}

[[noreturn]] void execArgv(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  perror(args[0]);
  _exit(127);
}

}  // namespace

bool inPrivateNetwork() {
  std::ifstream devices("/proc/net/dev");
  std::string line;
  int number = 0;
  while (std::getline(devices, line)) {
    if (++number <= 2) continue;
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name != "lo:") return false;
  }
  return number > 0;
}

std::unique_ptr<NetNamespace> NetNamespace::create() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return nullptr;
  pid_t parent = getpid();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(ready[0]);
    close(ready[1]);
    return nullptr;
  }
  if (pid == 0) {
    bindToParent(parent);
    char result = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &result, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char result = 'n';
  ssize_t got;
  do {
    got = read(ready[0], &result, 1);
  } while (got < 0 && errno == EINTR);
  close(ready[0]);
  std::unique_ptr<NetNamespace> space(new NetNamespace(pid));
  if (got != 1 || result != 'y') return nullptr;  // the destructor ends the holder
  return space;
}

NetNamespace::~NetNamespace() {
  kill(holder_, SIGKILL);
  waitBounded(holder_, 5);
}

pid_t NetNamespace::start(const std::function<int()>& body, const std::string& outputPath) {
  pid_t parent = getpid();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  bindToParent(parent);
  redirectOutput(outputPath);
  if (!enterNamespace(holder_)) _exit(126);
  int code = body();
  fflush(nullptr);
  _exit(code);
}

std::unique_ptr<NetHub> NetHub::create() {
  auto hub = std::make_unique<NetHub>();
  hub->space_ = NetNamespace::create();
  if (!hub->space_ || hub->space_->run({"ip", "link", "add", "name", "br0", "type", "bridge"}) != 0 ||
      hub->space_->run({"ip", "link", "set", "br0", "up"}) != 0) {
    return nullptr;
  }
  return hub;
}

bool NetHub::attach(NetNamespace& station, const std::string& card, bool up) {
  std::string port = "port" + std::to_string(ports_++);
  return connectNamespaces(station, card, *space_, port, up) &&
         space_->run({"ip", "link", "set", port, "master", "br0", "up"}) == 0;
}

std::unique_ptr<NetNamespace> NetHub::station(const std::string& card, bool up) {
  auto space = NetNamespace::create();
  if (!space || !attach(*space, card, up)) return nullptr;
  return space;
}

pid_t NetNamespace::spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
  return start([&argv]() -> int { execArgv(argv); }, outputPath);
}

int NetNamespace::run(const std::vector<std::string>& argv, std::string* output, double seconds) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t parent = getpid();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    bindToParent(parent);
    redirectOutput("");
    dup2(out[1], 1);
    if (!enterNamespace(holder_)) _exit(126);
    execArgv(argv);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return -1;
  }
  std::string text;
  char buffer[4096];
  double deadline = now() + seconds;
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  for (;;) {
    ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0 || now() > deadline) break;
    usleep(2000);
  }
  close(out[0]);
  if (output != nullptr) *output = text;
  return waitBounded(pid, deadline - now() > 0 ? deadline - now() : 0);
}

std::string NetNamespace::macAddress(const std::string& interfaceName) {
  std::string output;
  if (run({"ip", "-o", "link", "show", "dev", interfaceName}, &output) != 0) return "";
  size_t at = output.find("link/ether ");
  if (at == std::string::npos) return "";
  return output.substr(at + 11, 17);
}

bool connectNamespaces(NetNamespace& a, const std::string& nameA, NetNamespace& b,
                       const std::string& nameB, bool up) {
  std::string pidA = std::to_string(a.holder());
  std::string pidB = std::to_string(b.holder());
  // Created straight into the two namespaces: no end ever appears here.
  std::vector<std::string> argv = {"ip", "link", "add", "name", nameA, "netns", pidA, "type", "veth",
                                   "peer", "name", nameB, "netns", pidB};
  pid_t parent = getpid();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    bindToParent(parent);
    redirectOutput("");
    execArgv(argv);
  }
  if (pid < 0 || waitBounded(pid, 20) != 0) return false;
  if (!up) return true;
  return a.run({"ip", "link", "set", nameA, "up"}) == 0 &&
         b.run({"ip", "link", "set", nameB, "up"}) == 0;
}

int waitBounded(pid_t pid, double seconds) {
  double deadline = now() + seconds;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(2000);
  }
}

int exitCodeOf(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
