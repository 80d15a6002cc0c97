/* The first program of a test machine whose operator can press Ctrl-C: it
 * makes the first serial line the controlling terminal of process 1 (as a
 * console that is the installer's terminal would be), then becomes the
 * installer (/init) in the same process, its name still containing "init".
 * The terminal's Ctrl-C then reaches the installer as SIGINT. */
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  (void)argc;
  setsid();
  int terminal = open("/dev/ttyS0", O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) return 1;
  dup2(terminal, 0);
  dup2(terminal, 1);
  dup2(terminal, 2);
  if (terminal > 2) close(terminal);
  execv("/init", argv);
  return 1;
}
