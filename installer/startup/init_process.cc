#include "startup/init_process.h"

#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/retry_io.h"
#include "console/terminal.h"
#include "startup/installation_process.h"
#include "startup/process_state.h"

namespace {

void reportStop(int status, int waitError) {
  if (status == -1) {
    printf("\nFATAL ERROR: the installer stopped unexpectedly (%s)\n", strerror(waitError));
  } else if (WIFSIGNALED(status)) {
    printf("\nFATAL ERROR: the installer stopped unexpectedly (signal %d)\n", WTERMSIG(status));
  } else {
    printf("\nFATAL ERROR: the installer stopped unexpectedly (exit status %d)\n",
           WEXITSTATUS(status));
  }
}

}  // namespace

void superviseInstallation(pid_t child) {
  int status = waitForChild(child);
  int waitError = errno;
  // From here on this process speaks to the operator: on the console the
  // installation process chose, deaf to a Ctrl-C that would otherwise end
  // process 1 where it is not the kernel's first process (a test).
  signal(SIGINT, SIG_IGN);
  chooseConsole();
  // Tools or a package child the installation process left behind would
  // keep writing into the target and hold its mounts; only the machine's
  // (or a sandbox's) first process may end them all.
  if (getpid() == 1) (void)kill(-1, SIGKILL);
  sync();
  (void)umount("/mnt/boot");  // whatever is not mounted just fails
  (void)umount("/mnt");
  (void)umount("/floppy");

  TerminalState console;
  console.enterRawMode();
  reportStop(status, waitError);
  puts("Press ENTER to reboot");
  fflush(stdout);
  console.waitForEnter();
  console.restore();
  puts("");
  puts("Rebooting...");
  fflush(stdout);
  reboot(RB_AUTOBOOT);
  // The restart was refused: hold the console rather than end process 1.
  for (;;) pause();
}
