#include "netinstall/file_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/bounded_text.h"
#include "disk/command_runner.h"
#include "packages/package_installer.h"

namespace {

constexpr size_t kCopyBlock = 4096;
constexpr const char* kBadConnection = "\nFATAL ERROR: bad network connection";

// The name as it may be shown on the console: a server's bytes must not
// reach the terminal as control sequences.
void printableName(const char* name, char (&shown)[kFileNameSize]) {
  size_t i = 0;
  for (; name[i] != '\0' && i < sizeof shown - 1; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    shown[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  shown[i] = '\0';
}

// Prints why `name` is refused and returns false, or returns true for a
// name that may be used.
bool checkFileName(const char* name) {
  if (isPlainFileName(name)) return true;
  char shown[kFileNameSize];
  printableName(name, shown);
  const char* why = strchr(name, '/') != nullptr ? "contains \"/\"" : "names a directory";
  printf("\nFATAL ERROR: the server sent the file name \"%s\", which %s\n", shown, why);
  return false;
}

}  // namespace

HeaderReply InstallClient::openNextFile() {
  receiver.reset();
  if (selected < 0 || static_cast<size_t>(selected) >= endpoints.size()) {
    return HeaderReply::noAnswer;
  }
  receiver = std::make_unique<FileReceiver>();
  receiver->bind(endpoints[selected].get(), &link,
                 {timing.replyTimeoutUsec, timing.transferAttempts});
  return receiver->requestHeader();
}

NextFile InstallClient::nextFile(char* nameOut, size_t nameCapacity, int* markOut) {
  switch (openNextFile()) {
    case HeaderReply::endOfFiles:
      return NextFile::end;
    case HeaderReply::noAnswer:
      // A server gone between two files has not delivered them all: the
      // installation must not be reported as complete.
      puts(kBadConnection);
      return NextFile::failed;
    case HeaderReply::file:
      break;
  }
  if (!checkFileName(receiver->name())) return NextFile::failed;
  if (markOut != nullptr) *markOut = receiver->mark();
  if (nameOut != nullptr) {
    (void)copyCut(nameOut, nameCapacity, receiver->name());  // cutting to fit is the contract
    if (!checkFileName(nameOut)) return NextFile::failed;
  }
  return NextFile::file;
}

int InstallClient::readFileData(char* buffer, size_t capacity) {
  if (receiver == nullptr) return -1;
  return receiver->read(buffer, capacity);
}

bool InstallClient::retrieveDrivers() {
  if (!hasInterfaces()) return false;
  requestDrivers();
  // The driver package goes into the running system and its name is never
  // a path: nothing to check, and nothing to print here either, for the
  // caller's "could not retrieve disk drivers" is the one line to say it.
  return openNextFile() == HeaderReply::file;
}

bool receiveToFile(InstallClient& client, const char* path) {
  FILE* file = fopen(path, "w");
  if (file == nullptr) {
    puts("\nFATAL ERROR: couldn't make a file");
    return false;
  }
  char buffer[kCopyBlock];
  for (;;) {
    int count = client.readFileData(buffer, sizeof buffer);
    if (count < 0) {
      fclose(file);
      puts(kBadConnection);
      return false;
    }
    // The last buffered bytes are written by fclose: its failure (a full
    // disk) loses them just as a failed fwrite would.
    bool written = count == 0 ? fclose(file) == 0
                              : fwrite(buffer, 1, count, file) == static_cast<size_t>(count);
    if (!written) {
      printf("\nFATAL ERROR: installation failed: %s\n", strerror(errno));
      if (count != 0) fclose(file);
      return false;
    }
    if (count == 0) return true;
  }
}

bool receiveToInstaller(InstallClient& client, const char* installRoot, bool intoTarget) {
  FILE* stream = startPackageInstaller(installRoot, /*runningSystem=*/!intoTarget);
  if (stream == nullptr) {
    puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  char buffer[kCopyBlock];
  for (;;) {
    int count = client.readFileData(buffer, sizeof buffer);
    if (count < 0) {
      puts(kBadConnection);
      fflush(stdout);  // on the console before what the child says about the cut package
      (void)finishCommand(stream);  // the package is incomplete whatever the child says
      return false;
    }
    if (count == 0) {
      // Anything but 0 is a package that was not installed: the library
      // has said why, or the last buffered bytes never reached it (-1),
      // which is the same failure as a write that fails.
      if (finishCommand(stream) != kPackageInstalled) {
        puts("");
        return false;
      }
      return true;
    }
    if (fwrite(buffer, count, 1, stream) != 1) {
      puts("");
      (void)finishCommand(stream);
      return false;
    }
  }
}
