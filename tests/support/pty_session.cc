#include "pty_session.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
}  // namespace

std::unique_ptr<PtySession> PtySession::start(const std::function<void()>& inChild,
                                              Options options) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return nullptr;
  termios modes;
  tcgetattr(slave, &modes);
  if (!options.outputProcessing) modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &modes);

  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(master);
    close(slave);
    return nullptr;
  }
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    if (slave > 2) close(slave);
    inChild();
    _exit(127);
  }
  close(slave);
  return std::unique_ptr<PtySession>(new PtySession(master, pid));
}

std::unique_ptr<PtySession> PtySession::startFunction(const std::function<int()>& body,
                                                      Options options) {
  return start(
      [&body] {
        int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
      },
      options);
}

std::unique_ptr<PtySession> PtySession::startProgram(const std::vector<std::string>& argv,
                                                     Options options) {
  return start(
      [&argv] {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        perror(args[0]);
      },
      options);
}

PtySession::~PtySession() {
  if (!ended_) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(master_);
}

void PtySession::send(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

int PtySession::readSome(double seconds) {
  if (eof_) return -1;
  pollfd p{master_, POLLIN, 0};
  int ms = seconds <= 0 ? 0 : static_cast<int>(seconds * 1000) + 1;
  int r = poll(&p, 1, ms);
  if (r <= 0) return 0;
  char buffer[4096];
  ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    if (n < 0 && errno == EINTR) return 0;
    eof_ = true;  // EIO: every slave descriptor is closed
    return -1;
  }
  output_.append(buffer, static_cast<size_t>(n));
  return 1;
}

bool PtySession::waitFor(std::string_view text, double seconds, size_t from) {
  double deadline = now() + seconds;
  for (;;) {
    if (output_.size() >= from && output_.find(text, from) != std::string::npos) return true;
    double left = deadline - now();
    if (left <= 0) return false;
    if (readSome(left < 0.05 ? left : 0.05) < 0) {
      return output_.find(text, from) != std::string::npos;
    }
  }
}

bool PtySession::waitForRawMode(double seconds) {
  double deadline = now() + seconds;
  for (;;) {
    termios modes;
    if (tcgetattr(master_, &modes) == 0 && !(modes.c_lflag & ICANON)) return true;
    if (now() >= deadline) return false;
    readSome(0.01);
  }
}

void PtySession::drain(double seconds) {
  double deadline = now() + seconds;
  while (now() < deadline) {
    if (readSome(0.02) < 0) return;
  }
}

int PtySession::wait(double seconds) {
  double deadline = now() + seconds;
  while (!ended_) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ended_ = true;
      status_ = status;
      break;
    }
    if (now() >= deadline) return -1;
    readSome(0.02);
  }
  // Collect what is still buffered in the terminal.
  while (readSome(0.02) > 0) {
  }
  return status_;
}

int PtySession::exitCode(double seconds) {
  int status = wait(seconds);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
