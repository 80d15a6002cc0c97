#include "netinstall/net_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
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

int openCapture(const char* interfaceName) {
  int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
  if (fd < 0) return -1;
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_IP);
  link.sll_ifindex = static_cast<int>(if_nametoindex(interfaceName));
  int room = 8 << 20;  // a whole test's traffic waits here until it is read
  if (link.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

long receiveCaptured(int capture, NetMessage& message, double seconds) {
  constexpr size_t kUdpHeader = 8;
  uint8_t packet[65536];
  for (;;) {
    pollfd waiting{capture, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
    long length = recv(capture, packet, sizeof packet, 0);
    if (length < 20) return -1;
    size_t ipHeader = (packet[0] & 0x0F) * 4u;
    bool firstFragment = ((packet[6] & 0x1F) | packet[7]) == 0;
    if (packet[9] != IPPROTO_UDP || !firstFragment ||
        static_cast<size_t>(length) < ipHeader + kUdpHeader) {
      continue;
    }
    const uint8_t* udp = packet + ipHeader;
    if ((udp[2] << 8 | udp[3]) != kProtocolPort) continue;
    size_t carried = static_cast<size_t>(length) - ipHeader - kUdpHeader;
    if (carried > sizeof message.bytes) carried = sizeof message.bytes;
    message.clear();
    memcpy(message.bytes, udp + kUdpHeader, carried);
    return static_cast<long>(carried);
  }
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

namespace {

bool installFilter(sock_filter* filter, size_t length) {
  sock_fprog program{static_cast<unsigned short>(length), filter};
  // Without SECCOMP_FILTER_FLAG_TSYNC only the calling thread is filtered.
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

}  // namespace

bool refusePacketSockets() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_PACKET, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  return installFilter(filter, sizeof filter / sizeof filter[0]);
}

bool failSystemCall(long number, int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)),
  };
  return installFilter(filter, sizeof filter / sizeof filter[0]);
}

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

std::string buildProgram(const std::string& name) {
  return std::string(KORVANEL_BINARY_DIR) + "/bin/" + name;
}

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

std::string kernelRelease() {
  utsname system;
  return uname(&system) == 0 ? system.release : "";
}
