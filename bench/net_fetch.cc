// netinstall-fetch: the installer's protocol client alone, for benchmarks and
// for trying a server by hand. It runs what the network installation does on
// the wire (drivers, discovery, start, every file, closing wait) and writes
// the files into a directory instead of installing them. Prints "fetched N
// files, B bytes in S seconds, D datagrams received" on success, S counting
// from the server's confirmation of the start to the end of the last file,
// D every datagram the process took in during the whole run (its own
// replies and whatever else the segment made it wake for).
//
// Like the installer, it brings the interfaces it uses up, promiscuous, and
// broadcasts on them. On a developer's machine that must never happen by
// surprise: it starts only when told which interfaces to use (--interface)
// or when it runs in a network namespace of its own.

#include <net/if.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/net_namespace_check.h"
#include "cli/command_line.h"
#include "netinstall/clock.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"

namespace {

constexpr size_t kNameCapacity = 32;

const cli::Program kProgram = {
    "netinstall-fetch",
    "usage: netinstall-fetch [--interface IF]... [--drivers] [--quiet] [--discard] OUTDIR\n"
    "  --interface IF  use IF (again for more); without it every interface is used,\n"
    "                  which is allowed only in a network namespace of its own\n"
    "                  (ip netns exec NS ..., unshare -n ...)\n"
    "  --drivers       fetch the driver package first, as OUTDIR/drivers.bdl\n"
    "  --quiet         print only the summary\n"
    "  --discard       write every file to /dev/null (OUTDIR is unused)\n"};

struct FetchOptions {
  std::vector<std::string> interfaces;
  bool drivers = false, quiet = false, discard = false;
  std::string directory;
};

bool parseFetchOptions(int argc, char** argv, FetchOptions& options, std::string& error) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (optionsEnded || arg.empty() || arg[0] != '-') {
      if (!options.directory.empty()) {
        error = "one output directory expected, not also " + arg;
        return false;
      }
      options.directory = arg;
    } else if (arg == "--interface") {
      if (i + 1 == argc || argv[i + 1][0] == '\0') {
        error = "--interface needs a value";
        return false;
      }
      options.interfaces.push_back(argv[++i]);
    } else if (arg == "--drivers" || arg == "--quiet" || arg == "--discard") {
      bool& flag = arg == "--drivers" ? options.drivers
                   : arg == "--quiet" ? options.quiet
                                      : options.discard;
      flag = true;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.directory.empty()) {
    error = "no output directory";
    return false;
  }
  return true;
}

bool fetchDrivers(InstallClient& client, const std::string& directory) {
  if (!client.retrieveDrivers()) {
    puts("\nFATAL ERROR: could not retrieve disk drivers");
    return false;
  }
  return receiveToFile(client, (directory + "/drivers.bdl").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  FetchOptions options;
  std::string error;
  if (!parseFetchOptions(argc, argv, options, error)) return cli::usageError(kProgram, error);
  if (options.interfaces.empty() && !inNetNamespaceOfItsOwn(readNamespaceFacts())) {
    return cli::usageError(kProgram,
                           "refusing to take over every network interface of this machine: "
                           "name the ones to use with --interface, or run in a network "
                           "namespace of its own");
  }
  for (const std::string& name : options.interfaces) {
    if (if_nametoindex(name.c_str()) == 0) {
      fprintf(stderr, "netinstall-fetch: cannot use interface %s: %s\n", name.c_str(),
              strerror(errno));
      return 1;
    }
  }
  const std::string& directory = options.directory;
  bool quiet = options.quiet, discard = options.discard;
  signal(SIGPIPE, SIG_IGN);
  (void)mkdir(directory.c_str(), 0755);

  InstallClient client;
  client.onlyInterfaces = options.interfaces;
  client.open();
  if (!client.hasInterfaces()) {
    puts("\nFATAL ERROR: no network card found");
    return 1;
  }
  if (options.drivers && !fetchDrivers(client, directory)) return 1;
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
  unsigned long long received = client.datagramsReceived();
  client.close();
  if (discard) {
    printf("fetched %ld files in %.6f seconds, %llu datagrams received\n", files, seconds,
           received);
  } else {
    printf("fetched %ld files, %lld bytes in %.6f seconds, %llu datagrams received\n", files,
           bytes, seconds, received);
  }
  return 0;
}
