#pragma once
// Shared pieces of the protocol's network tests. Every test builds its own
// namespaces (tests/support/net_namespace.h) and only ever opens sockets or
// scans interfaces inside them.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "netinstall/net_message.h"
#include "scratch_directory.h"

// Moves the calling thread into `space` for the life of the object. Sockets
// made meanwhile stay in `space`; the interface scan reads its interfaces.
class EnterNamespace {
 public:
  explicit EnterNamespace(NetNamespace& space);
  ~EnterNamespace();
  bool entered() const { return entered_; }

 private:
  int home_;
  bool entered_ = false;
};

// "aa:bb:cc:dd:ee:ff" into six bytes.
bool parseMac(const std::string& text, uint8_t (&mac)[kMacSize]);
// Six bytes as `ip link` prints them (lower case).
std::string macText(const uint8_t* mac);

// A UDP socket bound to `interfaceName` and `port` in the current namespace,
// able to broadcast: the test's own stand-in for a server. -1 on failure.
int openPeerSocket(const char* interfaceName, uint16_t port = kProtocolPort);
// Broadcasts `message` (its datagramLength() bytes) to port 5000.
bool sendBroadcast(int socket, const NetMessage& message);
// Waits up to `seconds` for a datagram: its length, or -1.
long receiveDatagram(int socket, NetMessage& message, double seconds);

// A packet socket that sees every IPv4 frame reaching `interfaceName` in
// the current namespace, whoever it is addressed to. -1 on failure.
int openCapture(const char* interfaceName);
// The next captured protocol datagram (UDP to port 5000; the first fragment
// of a fragmented one) within `seconds`: its length as far as captured, or
// -1.
long receiveCaptured(int capture, NetMessage& message, double seconds);

// Descriptor 0 on a pipe for the life of the object: console input that
// never comes unless the test types it (the test's own standard input may
// be at its end, which counts as input waiting).
class TestConsole {
 public:
  TestConsole();
  ~TestConsole();
  void type(const char* keys);

 private:
  int saved_ = -1;
  int pipe_[2] = {-1, -1};
};

// From now on the calling thread (and what it forks) cannot open packet
// sockets: socket(AF_PACKET, ...) fails with EPERM, as it does for a process
// without the privilege. False when the filter could not be installed.
bool refusePacketSockets();
// From now on the system call `number` fails with `error` in the calling
// thread and in what it forks or executes, as a kernel short of resources
// would fail it. False when the filter could not be installed.
bool failSystemCall(long number, int error);

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& contents);
// Random-looking bytes of `size`, the same for the same seed: a block sent
// twice or skipped shows in a comparison.
std::string patternData(size_t size, unsigned seed);

// The real netinstall-server of this build, run in a namespace.
class ServerRun {
 public:
  ServerRun(NetNamespace& space, const std::string& interfaceName, const std::string& root,
            const std::vector<std::string>& extraArguments, const std::string& logPath);
  ~ServerRun();  // kills it if it still runs
  // Waits until its log holds `text`.
  bool waitForLog(const std::string& text, double seconds);
  std::string log() const { return readWholeFile(logPath_); }
  // SIGTERM (or `signal`), then the raw wait status.
  int stop(int signal = 15);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// The path of this build's netinstall-server, and of another of its programs.
std::string serverBinary();
std::string buildProgram(const std::string& name);

// The running kernel's release: the name of the driver package its
// installers ask for.
std::string kernelRelease();
