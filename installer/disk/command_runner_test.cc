#include "disk/command_runner.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "startup/process_state.h"

// Lets one test make fdopen fail after the fork, as memory exhaustion would.
static bool failNextFdopen = false;
extern "C" FILE* fdopen(int fd, const char* mode) {
  using Real = FILE* (*)(int, const char*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fdopen"));
  if (failNextFdopen) {
    failNextFdopen = false;
    errno = ENOMEM;
    return nullptr;
  }
  return real(fd, mode);
}

namespace {

const std::string kProbe = KORVANEL_BINARY_DIR "/bin/probe";

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Report {
  std::vector<std::string> argv;
  std::vector<std::string> fds;  // "N -> target"
  std::string input;
};

Report parseReport(const std::string& path) {
  Report report;
  std::string text = slurp(path);
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // "argv:"
  while (std::getline(in, line) && line.rfind("fd:", 0) != 0) report.argv.push_back(line);
  do {
    if (line.rfind("fd:", 0) == 0) report.fds.push_back(line.substr(3));
  } while (std::getline(in, line) && line != "stdin:");
  size_t at = text.find("\nstdin:\n");
  if (at != std::string::npos) report.input = text.substr(at + 8);
  return report;
}

std::string fdTarget(const Report& report, int fd) {
  std::string prefix = std::to_string(fd) + " -> ";
  for (const std::string& entry : report.fds) {
    if (entry.rfind(prefix, 0) == 0) return entry.substr(prefix.size());
  }
  return "(closed)";
}

class CommandRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/runner.XXXXXX";
    dir_ = mkdtemp(pattern);
    reportPath_ = dir_ + "/report";
    logPath_ = dir_ + "/log";
    std::ofstream(logPath_).close();
    logConsolePath = logPath_.c_str();
    setenv("PROBE_REPORT", reportPath_.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    for (const char* name : {"PROBE_REPORT", "PROBE_READ_STDIN", "PROBE_STDOUT", "PROBE_STDERR",
                             "PROBE_EXIT", "PROBE_SIGNAL", "PROBE_SLEEP_MS"}) {
      unsetenv(name);
    }
    logConsolePath = "/dev/tty9";
    EXPECT_EQ(activeChildPid, -1) << "a test left a piped child active";
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a test left a child behind";
    std::string command = "rm -rf " + dir_;
    (void)!system(command.c_str());
  }

  std::string dir_, reportPath_, logPath_;
};

TEST_F(CommandRunnerTest, InputChildGetsExactArgumentsAndItsInputAndQuietOutput) {
  setenv("PROBE_READ_STDIN", "1", 1);
  setenv("PROBE_STDOUT", "to-log", 1);
  // Descriptors the installer holds in 3..15 must not reach the tool.
  int held[4];
  for (int& fd : held) fd = open("/dev/null", O_RDONLY);

  FILE* in = startWithInput(kProbe.c_str(), "-q", "-uC", "/dev/hda", ">null", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_GT(activeChildPid, 0);
  fputs("0,12,83,*\n", in);
  EXPECT_EQ(finishCommand(in), 0);
  for (int fd : held) close(fd);

  Report report = parseReport(reportPath_);
  EXPECT_EQ(report.argv, (std::vector<std::string>{kProbe, "-q", "-uC", "/dev/hda"}));
  EXPECT_EQ(report.input, "0,12,83,*\n");
  EXPECT_EQ(fdTarget(report, 1), logPath_);
  EXPECT_EQ(fdTarget(report, 2), logPath_);
  EXPECT_EQ(report.fds.size(), 3u) << "only 0, 1 and 2 are open in the tool";
  EXPECT_EQ(slurp(logPath_), "to-log");
}

TEST_F(CommandRunnerTest, MarkerIsDroppedWhereverItStandsAndOnlyForInputChildren) {
  FILE* in = startWithInput(kProbe.c_str(), ">null", "a", ">null", "b", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(finishCommand(in), 0);
  EXPECT_EQ(parseReport(reportPath_).argv, (std::vector<std::string>{kProbe, "a", "b"}));

  FILE* out = startWithOutput(kProbe.c_str(), ">null", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(finishCommand(out), 0);
  EXPECT_EQ(parseReport(reportPath_).argv, (std::vector<std::string>{kProbe, ">null"}));
}

TEST_F(CommandRunnerTest, InputChildWithoutMarkerKeepsTheInstallersOutput) {
  FILE* in = startWithInput(kProbe.c_str(), nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(finishCommand(in), 0);
  Report report = parseReport(reportPath_);
  char self[256] = "";
  ssize_t n = readlink("/proc/self/fd/1", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  EXPECT_EQ(fdTarget(report, 1), self);
}

TEST_F(CommandRunnerTest, OutputChildIsReadThroughTheStreamWithQuietInputAndErrors) {
  setenv("PROBE_STDOUT", "/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track\n", 1);
  setenv("PROBE_STDERR", "complaint", 1);
  setenv("PROBE_READ_STDIN", "1", 1);
  FILE* out = startWithOutput(kProbe.c_str(), "-g", nullptr);
  ASSERT_NE(out, nullptr);
  char line[128];
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track\n");
  EXPECT_EQ(finishCommand(out), 0);
  Report report = parseReport(reportPath_);
  EXPECT_EQ(fdTarget(report, 0), "/dev/null");
  EXPECT_EQ(fdTarget(report, 2), logPath_);
  EXPECT_EQ(report.input, "");
  EXPECT_EQ(report.fds.size(), 3u);
  EXPECT_EQ(slurp(logPath_), "complaint");
}

TEST_F(CommandRunnerTest, OnlyOnePipedChildAtATime) {
  FILE* first = startWithOutput(kProbe.c_str(), nullptr);
  ASSERT_NE(first, nullptr);
  pid_t active = activeChildPid;
  EXPECT_EQ(startWithOutput(kProbe.c_str(), "second", nullptr), nullptr);
  EXPECT_EQ(startWithInput(kProbe.c_str(), "second", nullptr), nullptr);
  EXPECT_EQ(activeChildPid, active);
  EXPECT_EQ(finishCommand(first), 0);
  EXPECT_EQ(activeChildPid, -1);
  EXPECT_EQ(parseReport(reportPath_).argv.size(), 1u) << "no second child ran";

  FILE* next = startWithInput(kProbe.c_str(), nullptr);
  ASSERT_NE(next, nullptr) << "the slot is free again";
  EXPECT_EQ(finishCommand(next), 0);
}

TEST_F(CommandRunnerTest, FinishWithoutActiveChildLeavesTheStreamAlone) {
  FILE* stream = fopen("/dev/null", "r");
  EXPECT_EQ(finishCommand(stream), -1);
  EXPECT_EQ(fclose(stream), 0) << "the stream must still be open";
}

TEST_F(CommandRunnerTest, RawWaitStatuses) {
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), nullptr), 0);
  setenv("PROBE_EXIT", "3", 1);
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), nullptr), 3 << 8);
  unsetenv("PROBE_EXIT");
  setenv("PROBE_SIGNAL", "9", 1);
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), nullptr), 9);
  unsetenv("PROBE_SIGNAL");
  EXPECT_EQ(runCommand(nullptr, "/nonexistent/tool", "x", nullptr), 32512);

  FILE* in = startWithInput("/nonexistent/tool", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(finishCommand(in), 32512);
  setenv("PROBE_EXIT", "1", 1);
  FILE* out = startWithOutput(kProbe.c_str(), nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(finishCommand(out), 256);
}

TEST_F(CommandRunnerTest, RunCommandGivesEmptyInputAndLogConsoleOutput) {
  setenv("PROBE_READ_STDIN", "1", 1);
  setenv("PROBE_STDOUT", "out ", 1);
  setenv("PROBE_STDERR", "err", 1);
  int held = open("/dev/null", O_RDONLY);
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), "/dev/hda1", nullptr), 0);
  close(held);
  Report report = parseReport(reportPath_);
  EXPECT_EQ(report.argv, (std::vector<std::string>{kProbe, "/dev/hda1"}));
  EXPECT_EQ(report.input, "");
  EXPECT_EQ(fdTarget(report, 0), "/dev/null");
  EXPECT_EQ(fdTarget(report, 1), logPath_);
  EXPECT_EQ(fdTarget(report, 2), logPath_);
  EXPECT_EQ(report.fds.size(), 3u);
  EXPECT_EQ(slurp(logPath_), "out err");
  // A second tool adds to the log rather than writing over it.
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), nullptr), 0);
  EXPECT_EQ(slurp(logPath_), "out errout err");
}

TEST_F(CommandRunnerTest, MissingLogConsoleFallsBackToNullNeverToAClosedDescriptor) {
  logConsolePath = "/nonexistent/tty9";
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), nullptr), 0);
  Report report = parseReport(reportPath_);
  EXPECT_EQ(fdTarget(report, 1), "/dev/null");
  EXPECT_EQ(fdTarget(report, 2), "/dev/null");
}

TEST_F(CommandRunnerTest, RunCommandInsideAChangedRoot) {
  std::string root = dir_ + "/root";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/bin").c_str(), 0755), 0);
  std::string copy = "cp " + kProbe + " " + root + "/bin/tool";
  ASSERT_EQ(system(copy.c_str()), 0);
  setenv("PROBE_REPORT", "/inside-report", 1);
  EXPECT_EQ(runCommand(root.c_str(), "/bin/tool", "-c", "/etc/rc.d/rc.postinstall", nullptr), 0);
  Report report = parseReport(root + "/inside-report");
  EXPECT_EQ(report.argv, (std::vector<std::string>{"/bin/tool", "-c", "/etc/rc.d/rc.postinstall"}));
  // The tool starts in its new root's top directory: a relative path stays inside.
  setenv("PROBE_REPORT", "relative-report", 1);
  EXPECT_EQ(runCommand(root.c_str(), "/bin/tool", nullptr), 0);
  EXPECT_EQ(access((root + "/relative-report").c_str(), F_OK), 0);
  // The program path is resolved inside the new root, not in ours.
  EXPECT_EQ(runCommand(root.c_str(), kProbe.c_str(), nullptr), 32512);
  EXPECT_EQ(runCommand((dir_ + "/missing-root").c_str(), "/bin/tool", nullptr), 32512);
}

TEST_F(CommandRunnerTest, AtMostFourteenArgumentsArePassed) {
  std::vector<std::string> args;
  for (int i = 1; i <= 20; ++i) args.push_back("a" + std::to_string(i));
  std::vector<const char*> a;
  for (const std::string& s : args) a.push_back(s.c_str());
  EXPECT_EQ(runCommand(nullptr, kProbe.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                       a[9], a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19],
                       nullptr),
            0);
  std::vector<std::string> expected{kProbe};
  expected.insert(expected.end(), args.begin(), args.begin() + 14);
  EXPECT_EQ(parseReport(reportPath_).argv, expected);
}

TEST_F(CommandRunnerTest, FailedStreamAfterForkEndsAndReapsTheChild) {
  setenv("PROBE_READ_STDIN", "1", 1);
  failNextFdopen = true;
  EXPECT_EQ(startWithInput(kProbe.c_str(), "orphan?", nullptr), nullptr);
  EXPECT_EQ(activeChildPid, -1);
  // The child saw the end of its input, finished and was reaped (TearDown
  // checks that no child is left).
  Report report = parseReport(reportPath_);
  EXPECT_EQ(report.argv, (std::vector<std::string>{kProbe, "orphan?"}));
  EXPECT_EQ(report.input, "");
}

TEST_F(CommandRunnerTest, ToolThatStopsReadingIsStillReaped) {
  // The tool exits at once; what we write can no longer be delivered.
  setenv("PROBE_EXIT", "2", 1);
  FILE* in = startWithInput(kProbe.c_str(), nullptr);
  ASSERT_NE(in, nullptr);
  usleep(100000);
  std::string block(65536, 'x');
  size_t written = fwrite(block.data(), 1, block.size(), in);
  EXPECT_LT(written, block.size()) << "the write fails instead of ending the installer";
  int status = finishCommand(in);
  EXPECT_TRUE(status == -1 || status == 2 << 8) << status;
}

void ignoreAlarm(int) {}

TEST_F(CommandRunnerTest, WaitsAreRepeatedWhenASignalInterruptsThem) {
  struct sigaction action {}, saved;
  action.sa_handler = ignoreAlarm;  // no SA_RESTART: waitpid really fails with EINTR
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &saved);
  itimerval every{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every, nullptr);

  setenv("PROBE_SLEEP_MS", "300", 1);
  setenv("PROBE_EXIT", "4", 1);
  int status = runCommand(nullptr, kProbe.c_str(), nullptr);
  FILE* in = startWithInput(kProbe.c_str(), nullptr);
  int finished = in ? finishCommand(in) : -2;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
  EXPECT_EQ(status, 4 << 8);
  EXPECT_EQ(finished, 4 << 8);
}

}  // namespace
