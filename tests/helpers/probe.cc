// A stand-in for external tools in tests. It reports what it was given and
// behaves as the environment asks:
//   PROBE_REPORT=path   write a report there: "argv:" and one line per
//                       argument, "fd:N -> target" for every open descriptor
//                       0..20, "stdin:" and what standard input held (when
//                       PROBE_READ_STDIN is set)
//   PROBE_STDOUT=text   write text to standard output
//   PROBE_STDERR=text   write text to standard error
//   PROBE_EXIT=n        exit code (default 0)
//   PROBE_SIGNAL=n      end by this signal instead
//   PROBE_SLEEP_MS=n    sleep before exiting
// It is linked statically so that it also runs inside a changed root.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  std::string in;
  if (getenv("PROBE_READ_STDIN") != nullptr) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0) in.append(buffer, static_cast<size_t>(n));
  }
  if (const char* text = getenv("PROBE_STDOUT")) (void)!write(1, text, strlen(text));
  if (const char* text = getenv("PROBE_STDERR")) (void)!write(2, text, strlen(text));

  if (const char* path = getenv("PROBE_REPORT")) {
    // Descriptors are listed before the report file is opened.
    std::string fds;
    for (int fd = 0; fd <= 20; ++fd) {
      if (fcntl(fd, F_GETFD) == -1) continue;
      char link[64], target[256] = "";
      snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n > 0) target[n] = '\0';
      fds += "fd:" + std::to_string(fd) + " -> " + target + "\n";
    }
    FILE* report = fopen(path, "w");
    if (report != nullptr) {
      fputs("argv:\n", report);
      for (int i = 0; i < argc; ++i) fprintf(report, "%s\n", argv[i]);
      fputs(fds.c_str(), report);
      fputs("stdin:\n", report);
      fwrite(in.data(), 1, in.size(), report);
      fclose(report);
    }
  }
  if (const char* ms = getenv("PROBE_SLEEP_MS")) {
    long value = atol(ms);
    timespec ts{value / 1000, (value % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
  }
  if (const char* sig = getenv("PROBE_SIGNAL")) {
    signal(atoi(sig), SIG_DFL);
    raise(atoi(sig));
  }
  const char* code = getenv("PROBE_EXIT");
  return code != nullptr ? atoi(code) : 0;
}
