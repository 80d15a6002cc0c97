/* Stands in for /sbin/sfdisk on a test medium: lists and dumps through the
 * real tool (/sbin/sfdisk.real) but refuses every new table, as a tool that
 * cannot write it does, without touching the disk. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-q") == 0) {
      fputs("sfdisk: refusing the new partition table\n", stderr);
      return 1;
    }
  }
  execv("/sbin/sfdisk.real", argv);
  return 127;
}
