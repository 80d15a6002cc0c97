#include "startup/installation_process.h"

#include <fcntl.h>
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

void restartMachine() {
  terminal->restore();
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

  terminal = new TerminalState;  // lives until the restart

  setDisposition(SIGINT, onInterrupt, 0);
  setDisposition(SIGPIPE, SIG_IGN, 0);
  setDisposition(SIGCHLD, SIG_DFL, SA_RESTART);

  DriveInfo target;
  runInstallation(target, argc, argv);

  restartMachine();
  return 0;
}
