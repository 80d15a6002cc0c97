// netinstall-fetch: the installer's protocol client alone, for benchmarks and
// for trying a server by hand. It runs what the network installation does on
// the wire (drivers, discovery, start, every file, closing wait) and writes
// the files into a directory instead of installing them.
//
//   netinstall-fetch OUTDIR [--drivers] [--quiet] [--discard]
//
// --discard writes every file to /dev/null instead (OUTDIR is unused). Prints
// "fetched N files, B bytes in S seconds" on success, S counting from the
// server's confirmation of the start to the end of the last file. It brings every interface of its network
// namespace up: run it in a namespace of its own.

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "netinstall/clock.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"

namespace {

constexpr size_t kNameCapacity = 32;

bool fetchDrivers(InstallClient& client, const std::string& directory) {
  if (!client.retrieveDrivers()) {
    puts("\nFATAL ERROR: could not retrieve disk drivers");
    return false;
  }
  return receiveToFile(client, (directory + "/drivers.bdl").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: netinstall-fetch OUTDIR [--drivers] [--quiet] [--discard]\n", stderr);
    return 2;
  }
  std::string directory = argv[1];
  bool drivers = false, quiet = false, discard = false;
  for (int i = 2; i < argc; ++i) {
    drivers |= strcmp(argv[i], "--drivers") == 0;
    quiet |= strcmp(argv[i], "--quiet") == 0;
    discard |= strcmp(argv[i], "--discard") == 0;
  }
  signal(SIGPIPE, SIG_IGN);
  (void)mkdir(directory.c_str(), 0755);

  InstallClient client;
  client.open();
  if (!client.hasInterfaces()) {
    puts("\nFATAL ERROR: no network card found");
    return 1;
  }
  if (drivers && !fetchDrivers(client, directory)) return 1;
  char offer[512] = "";
  bool keep = false;
  if (!client.findServer("", offer, "fetch", offer, sizeof offer, keep)) return 1;
  if (!quiet) printf("Found server at %s%s\n", client.serverAddressText(), keep ? " (keep)" : "");
  if (!client.startInstallation()) {
    puts("\nFATAL ERROR: server refused to install");
    return 1;
  }
  int64_t started = nowUsec();
  char name[kNameCapacity];
  int mark = 0;
  long files = 0;
  long long bytes = 0;
  NextFile next;
  while ((next = client.nextFile(name, sizeof name, &mark)) == NextFile::file) {
    std::string path = discard ? "/dev/null" : directory + "/" + name;
    if (!receiveToFile(client, path.c_str())) return 1;
    struct stat status;
    if (!discard && stat(path.c_str(), &status) == 0) bytes += status.st_size;
    ++files;
    if (!quiet) printf("%s (mark %d)\n", name, mark);
  }
  if (next == NextFile::failed) return 1;
  double seconds = static_cast<double>(nowUsec() - started) / 1e6;
  client.awaitTermination();
  client.close();
  if (discard) {
    printf("fetched %ld files in %.6f seconds\n", files, seconds);
  } else {
    printf("fetched %ld files, %lld bytes in %.6f seconds\n", files, bytes, seconds);
  }
  return 0;
}
