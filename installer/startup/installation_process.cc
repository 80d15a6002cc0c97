#include "startup/installation_process.h"

#include <fcntl.h>
#include <sys/klog.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "console/terminal.h"
#include "hardware/drive_info.h"
#include "startup/dispatch.h"
#include "startup/process_state.h"

namespace {

// syslog(2) actions: the kernel's console level saved and lowered to
// emergencies only, and restored.
constexpr int kKernelConsoleOff = 6;
constexpr int kKernelConsoleOn = 7;
// The kernel's own PID namespace has this fixed inode number.
constexpr ino_t kInitialPidNamespaceInode = 0xEFFFFFFC;

// Kernel messages (a missing label floppy's "I/O error, dev fd0") would
// break into the dialogue: off the consoles while the installer runs, as
// other installers do; they stay in the kernel's log. Only the machine's
// own installer touches the kernel's console, never one in a PID namespace
// of its own (a test's sandbox on a developer's machine).
bool ownsKernelConsole() {
  struct stat space;
  return stat("/proc/self/ns/pid", &space) == 0 && space.st_ino == kInitialPidNamespaceInode;
}

void restartMachine() {
  terminal->restore();
  if (ownsKernelConsole()) (void)klogctl(kKernelConsoleOn, nullptr, 0);  // for the restart's lines
  puts("");
  puts("Rebooting...");
  fflush(stdout);
  reboot(RB_AUTOBOOT);
}

void setDisposition(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(signal, &action, nullptr);
}

}  // namespace

void chooseConsole() {
  int screen = open("/dev/tty0", O_WRONLY);
  if (screen >= 0) {
    close(screen);
    return;
  }
  logConsolePath = "/dev/null";
  (void)!freopen("/dev/ttyS0", "r", stdin);
  (void)!freopen("/dev/ttyS0", "w", stdout);
  (void)!freopen("/dev/ttyS0", "w", stderr);
}

void onInterrupt(int) {
  if (installationFinished) return;
  // A step's progress dots would go on after the abort lines and suggest the
  // step still runs; the ticker ends here.
  setDisposition(SIGALRM, SIG_IGN, SA_RESTART);
  puts("\n\nInstallation aborted");
  puts("Press ENTER to reboot");
  (void)umount("/mnt/boot");  // whatever is not mounted just fails
  (void)umount("/mnt");
  (void)umount("/floppy");
  terminal->waitForEnter();
  restartMachine();
}

int runInstallationProcess(int argc, char** argv) {
  if (mkdir("/mnt/proc", 0755) != 0) perror("/proc");
  (void)mount("proc", "/proc", "proc", 0, nullptr);
  chooseConsole();
  if (ownsKernelConsole()) (void)klogctl(kKernelConsoleOff, nullptr, 0);

  terminal = new TerminalState;  // lives until the restart

  setDisposition(SIGINT, onInterrupt, 0);
  setDisposition(SIGPIPE, SIG_IGN, 0);
  setDisposition(SIGCHLD, SIG_DFL, SA_RESTART);

  DriveInfo target;
  runInstallation(target, argc, argv);

  restartMachine();
  return 0;
}
