/* Stands in for /sbin/sfdisk on a test medium: lists and dumps through the
 * real tool (/sbin/sfdisk.real), but when asked to write a table it kills
 * the installation process that started it with SIGSEGV, as a crash of the
 * installer itself would end it. */
#include <signal.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-q") == 0) {
      kill(getppid(), SIGSEGV);
      return 1;
    }
  }
  execv("/sbin/sfdisk.real", argv);
  return 127;
}
