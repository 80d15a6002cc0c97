#pragma once
// Runs a program (normally the installer) as process 1 of the test sandbox
// (tests/sandbox/sandbox), with its console on a pseudo-terminal the test
// drives. The sandbox's root lives in a scratch directory that outlives the
// run, so a test can look at what the program left in /mnt afterwards.
//
//   Sandbox sandbox;
//   sandbox.options.typeText = "cdrom";
//   sandbox.fakeTool("/sbin/sfdisk", "echo '/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track'");
//   ASSERT_TRUE(sandbox.start());
//   ASSERT_TRUE(sandbox.console().waitFor("Press ENTER to reboot", 30));
//   sandbox.console().send("\r");
//   EXPECT_EQ(sandbox.waitForEnd(30), Sandbox::kRestarted);

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pty_session.h"

struct SandboxOptions {
  std::string program;           // default: the host build's installer
  std::string argv0 = "/init";   // contains "init": the program forks as init does
  std::vector<std::string> args;
  std::optional<std::string> typeText;  // contents of /TYPE; none: no /TYPE
  std::vector<std::pair<std::string, std::string>> files;  // {machine file, path inside}
  std::vector<std::pair<std::string, std::string>> binds;  // {machine path, path inside}
  std::vector<std::string> dirs;                           // directories made inside
  std::vector<std::string> tmpfs;  // mount points of tmpfs file systems, mounted in order
  std::vector<std::pair<std::string, std::string>> disks;  // {"hda", image file}
  bool screenConsole = false;  // /dev/tty0 opens and /dev/tty9 is logConsole()
  // The program's standard input is /dev/null and its output goes to a file
  // (stdioOutput()); the pseudo-terminal is reachable only as /dev/ttyS0.
  bool detachedStdio = false;
  bool network = false;  // a network namespace of its own (only lo)
  // Runs in the network namespace of this process instead (a namespace the
  // test made, see net_namespace.h); 0: none. A program started in network
  // mode without either would scan and bring up this machine's own cards:
  // start() gives it a namespace of its own then.
  pid_t networkOf = 0;
};

// One call of a fake tool: its arguments (argv[0] first) and its input.
struct ToolCall {
  std::vector<std::string> argv;
  std::string input;
};

class Sandbox {
 public:
  static constexpr int kRestarted = 100;  // the program asked for a restart

  Sandbox();   // makes the scratch directory
  ~Sandbox();  // ends whatever still runs, detaches disks, removes the scratch

  SandboxOptions options;

  // Installs at `path` inside a shell script that records every call (see
  // calls()) and then runs `body` (sh; its input is in $CALL_INPUT).
  void fakeTool(const std::string& path, const std::string& body);
  std::vector<ToolCall> calls(const std::string& path) const;

  // A file in the scratch directory holding `content`, for disks or files.
  std::string scratchFile(const std::string& name, const std::string& content = "");

  [[nodiscard]] bool start();
  PtySession& console() { return *console_; }

  // The sandbox's exit status (kRestarted for a restart), or -1 when it did
  // not end within `seconds`.
  int waitForEnd(double seconds);

  // Where a path of the sandbox's root lies on this machine.
  std::string rootPath(const std::string& inside) const;
  const std::string& scratch() const { return scratch_; }
  std::string logConsole() const;
  std::string stdioOutput() const;

  // Process 1 of the sandbox as this machine sees it, or -1.
  pid_t initPid() const;

 private:
  std::string scratch_;
  std::unique_ptr<PtySession> console_;
};

// The processes whose parent is `pid`.
std::vector<pid_t> childrenOf(pid_t pid);

// Whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
