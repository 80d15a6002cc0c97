/* Stands in for a tool of the new system that takes its time (a file-system
 * check of a large disk): waits two minutes, then succeeds. */
#include <unistd.h>

int main(void) {
  sleep(120);
  return 0;
}
