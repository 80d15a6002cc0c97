// A stand-in for programs that the installer runs inside the new system
// (/bin/bash, /sbin/fsck). It prints one line to standard output:
//   <argv joined by blanks> | root <ro|rw> | marker <first line of /marker>
// so a test sees with what it was called, whether its root was mounted
// read-only, and (through the marker file the test put into the new system)
// that its root really was the new system. Exits with $ROOT_REPORT_EXIT
// (default 0). Linked statically so that it runs inside a changed root.
#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
  struct statvfs root;
  bool readOnly = statvfs("/", &root) == 0 && (root.f_flag & ST_RDONLY) != 0;
  line += readOnly ? " | root ro" : " | root rw";
  char marker[128] = "none";
  if (FILE* file = fopen("/marker", "r")) {
    if (fgets(marker, sizeof marker, file) == nullptr) marker[0] = '\0';
    fclose(file);
  }
  std::string text = marker;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  printf("%s | marker %s\n", line.c_str(), text.c_str());
  const char* code = getenv("ROOT_REPORT_EXIT");
  return code != nullptr ? atoi(code) : 0;
}
