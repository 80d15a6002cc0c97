#include "netinstall/net_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

EnterNamespace::EnterNamespace(NetNamespace& space) {
  home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  std::string path = "/proc/" + std::to_string(space.holder()) + "/ns/net";
  int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

EnterNamespace::~EnterNamespace() {
  if (entered_ && setns(home_, CLONE_NEWNET) != 0) abort();  // never go on in a test's namespace
  if (home_ >= 0) close(home_);
}

bool parseMac(const std::string& text, uint8_t (&mac)[kMacSize]) {
  unsigned value[kMacSize];
  if (sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &value[0], &value[1], &value[2], &value[3],
             &value[4], &value[5]) != 6) {
    return false;
  }
  for (size_t i = 0; i < kMacSize; ++i) mac[i] = static_cast<uint8_t>(value[i]);
  return true;
}

std::string macText(const uint8_t* mac) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return text;
}

int openPeerSocket(const char* interfaceName, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName, strlen(interfaceName) + 1) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sendBroadcast(int socket, const NetMessage& message) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(kProtocolPort);
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  long sent = sendto(socket, message.bytes, message.datagramLength(), 0,
                     reinterpret_cast<sockaddr*>(&destination), sizeof destination);
  return sent == static_cast<long>(message.datagramLength());
}

long receiveDatagram(int socket, NetMessage& message, double seconds) {
  pollfd waiting{socket, POLLIN, 0};
  if (poll(&waiting, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
  return recv(socket, message.bytes, sizeof message.bytes, 0);
}

TestConsole::TestConsole() {
  if (pipe2(pipe_, O_CLOEXEC) != 0) return;
  saved_ = dup(0);
  dup2(pipe_[0], 0);
}

TestConsole::~TestConsole() {
  if (saved_ >= 0) {
    dup2(saved_, 0);
    close(saved_);
  }
  if (pipe_[0] >= 0) close(pipe_[0]);
  if (pipe_[1] >= 0) close(pipe_[1]);
}

void TestConsole::type(const char* keys) { (void)!write(pipe_[1], keys, strlen(keys)); }

std::string readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void writeWholeFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string patternData(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 7;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string serverBinary() { return std::string(KORVANEL_BINARY_DIR) + "/bin/netinstall-server"; }

ServerRun::ServerRun(NetNamespace& space, const std::string& interfaceName,
                     const std::string& root, const std::vector<std::string>& extraArguments,
                     const std::string& logPath)
    : logPath_(logPath) {
  std::vector<std::string> argv = {serverBinary(), "--interface", interfaceName, "--root", root};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  pid_ = space.spawn(argv, logPath);
}

ServerRun::~ServerRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitBounded(pid_, 5);
  }
}

bool ServerRun::waitForLog(const std::string& text, double seconds) {
  for (int tick = 0; tick < static_cast<int>(seconds * 100); ++tick) {
    if (log().find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return log().find(text) != std::string::npos;
}

int ServerRun::stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = waitBounded(pid_, 10);
  pid_ = -1;
  return status;
}
