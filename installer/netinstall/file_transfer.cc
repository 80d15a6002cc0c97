#include "netinstall/file_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "common/bounded_text.h"
#include "disk/command_runner.h"
#include "packages/installation_release.h"
#include "packages/package_installer.h"

namespace {

constexpr size_t kCopyBlock = 4096;
constexpr const char* kBadConnection = "\nFATAL ERROR: bad network connection";

void refuseFileName(const char* name, const char* why) {
  char shown[kFileNameSize];
  printableName(name, shown);
  printf("\nFATAL ERROR: the server sent the file name \"%s\", which %s\n", shown, why);
}

// Prints why `name` is refused and returns false, or returns true for a
// name that may be used.
bool checkFileName(const char* name) {
  if (isPlainFileName(name)) return true;
  refuseFileName(name, strchr(name, '/') != nullptr ? "contains \"/\"" : "names a directory");
  return false;
}

// The package child did not install the current file: its library has
// said why (with the package's own name, if it could read that far); this
// line names the file as the server sent it.
bool notInstalled(const InstallClient& client) {
  char shown[kFileNameSize];
  printableName(client.receiver != nullptr ? client.receiver->name() : "", shown);
  printf("\nFATAL ERROR: could not install %s\n", shown);
  return false;
}

}  // namespace

void printableName(const char* name, char (&shown)[kFileNameSize]) {
  size_t i = 0;
  for (; name[i] != '\0' && i < sizeof shown - 1; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    shown[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  shown[i] = '\0';
}

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
  if (nameOut != nullptr) {
    // The caller decides by the name what the file is and where it goes: a
    // cut could turn "settings-for-the-branch-office.scr" into a package,
    // or a package into a script. Only a name that arrives whole is used.
    if (strlen(receiver->name()) >= nameCapacity) {
      char why[48];
      snprintf(why, sizeof why, "is longer than %zu characters", nameCapacity - 1);
      refuseFileName(receiver->name(), why);
      return NextFile::failed;
    }
    (void)copyCut(nameOut, nameCapacity, receiver->name());  // it fits: checked above
  }
  if (markOut != nullptr) *markOut = receiver->mark();
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

bool receiveToMemory(InstallClient& client, size_t limit, std::string* text) {
  text->clear();
  char buffer[kCopyBlock];
  for (;;) {
    int count = client.readFileData(buffer, sizeof buffer);
    if (count < 0) {
      puts(kBadConnection);
      return false;
    }
    if (count == 0) return true;
    if (text->size() + static_cast<size_t>(count) > limit) {
      char shown[kFileNameSize];
      printableName(client.receiver->name(), shown);
      printf("\nFATAL ERROR: the server sent %s larger than %zu bytes\n", shown, limit);
      return false;
    }
    text->append(buffer, static_cast<size_t>(count));
  }
}

bool receiveToFile(InstallClient& client, const char* path, ReleasedFileCheck* release) {
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
    bool matches = release == nullptr ||
                   (count == 0 ? release->finish() : release->update(buffer, static_cast<size_t>(count)));
    if (!matches) {
      if (count != 0) fclose(file);
      (void)unlink(path);  // a script the release does not hold must not stay
      return false;
    }
    if (count == 0) return true;
  }
}

bool receiveToInstaller(InstallClient& client, const char* installRoot, bool intoTarget,
                        ReleasedFileCheck* release) {
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
    bool matches = release == nullptr ||
                   (count == 0 ? release->finish() : release->update(buffer, static_cast<size_t>(count)));
    if (!matches) {
      cancelPackageInstaller(stream);
      return false;
    }
    if (count == 0) {
      // Anything but 0 is a package that was not installed: the library
      // has said why, or the last buffered bytes never reached it (-1),
      // which is the same failure as a write that fails.
      if (finishCommand(stream) != kPackageInstalled) return notInstalled(client);
      return true;
    }
    // A child that refused the package early has stopped reading: the write
    // fails, and the child is reaped before the line is printed, so that
    // the library's own line stands first.
    if (fwrite(buffer, count, 1, stream) != 1) {
      (void)finishCommand(stream);
      return notInstalled(client);
    }
  }
}
