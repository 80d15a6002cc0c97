#include "server/service_manager.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool notifyServiceManager(const std::string& state, std::string& error) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = strlen(path);
  // "@name" is the abstract namespace: a leading NUL instead of the '@'.
  if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path) {
    error = std::string("NOTIFY_SOCKET is not a socket path: ") + path;
    return false;
  }
  memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot tell the service manager: ") + strerror(errno);
    return false;
  }
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), size);
  int sendError = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(state.size())) {
    error = std::string("cannot tell the service manager: ") +
            (sent < 0 ? strerror(sendError) : "datagram cut");
    return false;
  }
  return true;
}

bool standardOutputIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0, inode = 0;
  if (sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat output;
  // A stdout redirected elsewhere (a pipe the unit's command set up) keeps
  // the variable but is not the journal.
  if (fstat(STDOUT_FILENO, &output) != 0) return false;
  return output.st_dev == device && output.st_ino == inode;
}

std::string journalPrefix(LogPriority priority) {
  return "<" + std::to_string(static_cast<int>(priority)) + ">";
}
