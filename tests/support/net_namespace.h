#pragma once
// Network namespaces for tests that open sockets, bring interfaces up or send
// datagrams. Each namespace is held by a child process that dies with the
// test process, so nothing outlives a test that crashes: the namespace goes
// with its last process, and its interfaces (veth ends included) with it.
//
// These helpers never touch the interfaces of the namespace they are called
// from; they only create veth pairs whose ends go straight into namespaces of
// their own making. Still, a test binary that uses them belongs in the
// sandbox's network namespace: check inPrivateNetwork() first.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// True when the calling process's network namespace has no interface but
// the loopback: the machine's own interfaces are out of reach.
bool inPrivateNetwork();

class NetNamespace {
 public:
  // A fresh namespace with only its (down) loopback interface, or null.
  static std::unique_ptr<NetNamespace> create();
  ~NetNamespace();  // kills the holder; the namespace ends with its last process

  pid_t holder() const { return holder_; }

  // Runs `body` in a forked child that has entered this namespace; its result
  // is the exit code. The child dies with the test process. Returns its pid.
  // `outputPath`, when not empty, receives the child's standard output and
  // error; its standard input is /dev/null.
  pid_t start(const std::function<int()>& body, const std::string& outputPath = "");
  // Runs a program (argv[0] an absolute path or a name on PATH) in this
  // namespace to completion, at most `seconds`. Returns the raw wait status
  // (-1 when it had to be killed); its standard output goes to `output`.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr,
          double seconds = 20);
  // Starts a program in this namespace without waiting: its pid.
  pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath = "");

  // The hardware address of `interfaceName` here, as "aa:bb:cc:dd:ee:ff".
  std::string macAddress(const std::string& interfaceName);

 private:
  explicit NetNamespace(pid_t holder) : holder_(holder) {}
  pid_t holder_;
};

// A veth pair with one end (`nameA`) in `a` and the other in `b`. Both ends
// are left down unless `up`.
[[nodiscard]] bool connectNamespaces(NetNamespace& a, const std::string& nameA, NetNamespace& b,
                                     const std::string& nameB, bool up = false);

// A bridge (br0) in a namespace of its own that joins stations, as a switch
// joins machines.
class NetHub {
 public:
  // Null when the namespace or the bridge cannot be made.
  static std::unique_ptr<NetHub> create();

  // Plugs `station`'s new card `card` into the bridge; the card is down
  // unless `up`.
  [[nodiscard]] bool attach(NetNamespace& station, const std::string& card, bool up);
  // A new namespace with its card `card` plugged in; null on failure.
  std::unique_ptr<NetNamespace> station(const std::string& card, bool up = true);
  NetNamespace& space() { return *space_; }

 private:
  std::unique_ptr<NetNamespace> space_;
  int ports_ = 0;
};

// Waits for `pid` at most `seconds`; kills it (SIGKILL) when it is still
// running then. Returns the raw wait status, or -1 when it was killed.
int waitBounded(pid_t pid, double seconds);

// The exit code of a raw wait status, or -1 when it did not exit normally.
int exitCodeOf(int status);
