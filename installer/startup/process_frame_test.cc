// The process frame and the mode dispatch, end to end: the installer runs as
// process 1 of a sandbox with its console on a pseudo-terminal. Every test
// runs once with the host build and once with the static i386 binary that
// goes on boot media.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <chrono>
#include <csignal>
#include <cstring>

#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "sandbox.h"

namespace {

constexpr double kTimeout = 60;
constexpr const char* kPrompt = "Press ENTER to reboot\n";
constexpr const char* kRebooting = "\033[?25h\nRebooting...\n";

// What the flows print first where the sandbox has no medium for them. Kept
// in one place: a line changes when its flow does.
constexpr const char* kNoCdromLine = "\nFATAL ERROR: no CD-ROM found\n";
// The network flow in a sandbox whose network namespace holds no card.
constexpr const char* kNoNetworkCard =
    "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software remote installation\n"
    "Press Ctrl-Alt-Delete to abort\n\nFATAL ERROR: no network card found\n";
constexpr const char* kDiskWelcome =
    "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software hard disk installation\n";

// The mount points of process `pid`'s mount namespace, as it sees them.
std::set<std::string> mountPoints(pid_t pid) {
  std::set<std::string> points;
  std::istringstream table(readFile("/proc/" + std::to_string(pid) + "/mountinfo"));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    points.insert(point);
  }
  return points;
}

class ProcessFrame : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    sandbox.options.program = GetParam();
    // The CD-ROM mode looks for a disk before its flow runs.
    sandbox.fakeTool("/sbin/sfdisk", "echo '/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track'");
  }

  // Starts the installer and waits for the end-of-run prompt.
  void runToPrompt() {
    ASSERT_TRUE(sandbox.start());
    ASSERT_TRUE(sandbox.console().waitFor(kPrompt, kTimeout)) << sandbox.console().output();
  }

  // Answers the prompt and checks the restart. Unless the console is raw,
  // the terminal itself echoes the Enter.
  void pressEnterAndExpectRestart(bool raw = false) {
    size_t before = sandbox.console().output().size();
    sandbox.console().send("\r");
    EXPECT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted);
    EXPECT_EQ(sandbox.console().output().substr(before), (raw ? "" : "\n") + std::string(kRebooting));
  }

  Sandbox sandbox;
};

TEST_P(ProcessFrame, UnknownModeIsAnInternalErrorAndWaitsForEnter) {
  for (const char* type : {"cdrom \n", "CDROM\n", "network\n", ""}) {
    Sandbox one;
    one.options.program = GetParam();
    one.options.typeText = type;
    ASSERT_TRUE(one.start());
    ASSERT_TRUE(one.console().waitFor(kPrompt, kTimeout)) << one.console().output();
    EXPECT_EQ(one.console().output(), std::string("FATAL ERROR: internal error\n") + kPrompt) << type;
    one.console().send("\r");
    EXPECT_EQ(one.waitForEnd(kTimeout), Sandbox::kRestarted);
  }
}

TEST_P(ProcessFrame, MissingTypeFileIsAnInternalError) {
  runToPrompt();
  EXPECT_EQ(sandbox.console().output(), std::string("FATAL ERROR: internal error\n") + kPrompt);
  pressEnterAndExpectRestart();
}

TEST_P(ProcessFrame, CdromModeLoadsDriversAndAlwaysPrompts) {
  sandbox.options.typeText = "cdrom\n";
  runToPrompt();
  const std::string& out = sandbox.console().output();
  EXPECT_EQ(out.rfind("Loading drivers\n", 0), 0u) << "no banner before the drivers: " << out;
  EXPECT_NE(out.find(kNoCdromLine), std::string::npos) << out;
  // No restart before ENTER; other keys are refused with a bell.
  sandbox.console().send("xy");
  ASSERT_TRUE(sandbox.console().waitFor("\a\a", 5, out.size()));
  EXPECT_EQ(sandbox.waitForEnd(0.5), -1);
  pressEnterAndExpectRestart(/*raw=*/true);
}

TEST_P(ProcessFrame, NetworkModeFromTheFirstLineOnly) {
  sandbox.options.typeText = "net\ncdrom\n";
  sandbox.options.network = true;  // only the loopback interface: no card
  runToPrompt();
  EXPECT_EQ(sandbox.console().output(), std::string(kNoNetworkCard) + kPrompt);
  pressEnterAndExpectRestart(/*raw=*/true);
}

TEST_P(ProcessFrame, HardDiskSwitchAnywhereAfterTheNameWinsOverTheTypeFile) {
  sandbox.options.typeText = "net\n";
  sandbox.options.args = {"quiet", "-hdd-install"};
  ASSERT_TRUE(sandbox.start());
  // The hard-disk flow's source search would last twenty seconds here: its
  // start shows the choice, an interrupt ends the run.
  ASSERT_TRUE(sandbox.console().waitFor("Looking for harddrives...", kTimeout))
      << sandbox.console().output();
  EXPECT_EQ(sandbox.console().output().rfind(kDiskWelcome, 0), 0u) << sandbox.console().output();
  sandbox.console().send("\x03");
  ASSERT_TRUE(sandbox.console().waitFor("\nInstallation aborted\n" + std::string(kPrompt), kTimeout))
      << sandbox.console().output();
  pressEnterAndExpectRestart(/*raw=*/true);
}

TEST_P(ProcessFrame, InterruptAfterTheFlowReturnedIsIgnored) {
  sandbox.options.typeText = "cdrom\n";
  runToPrompt();
  size_t before = sandbox.console().output().size();
  sandbox.console().send("\x03");  // the terminal turns it into SIGINT
  sandbox.console().drain(1.0);
  EXPECT_EQ(sandbox.console().output().substr(before), "");
  EXPECT_EQ(sandbox.waitForEnd(0.1), -1);
  pressEnterAndExpectRestart(/*raw=*/true);
}

TEST_P(ProcessFrame, InterruptDuringTheInstallationUnmountsAndRestartsAfterEnter) {
  // No disk ever appears: the search lasts twenty seconds, time to interrupt.
  sandbox.fakeTool("/sbin/sfdisk", "sleep 0.2");
  sandbox.options.typeText = "cdrom\n";
  sandbox.options.tmpfs = {"/mnt", "/mnt/boot", "/floppy"};
  ASSERT_TRUE(sandbox.start());
  ASSERT_TRUE(sandbox.console().waitFor("Looking for harddrives...", kTimeout));
  std::set<std::string> before = mountPoints(sandbox.initPid());
  ASSERT_EQ(before.count("/mnt") + before.count("/mnt/boot") + before.count("/floppy"), 3u);

  sandbox.console().send("\x03");
  const char* aborted = "\n\nInstallation aborted\nPress ENTER to reboot\n";
  ASSERT_TRUE(sandbox.console().waitFor(aborted, kTimeout)) << sandbox.console().output();
  std::set<std::string> after;
  for (int i = 0; i < 100; ++i) {
    after = mountPoints(sandbox.initPid());
    if (after.count("/mnt") + after.count("/mnt/boot") + after.count("/floppy") == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(after.count("/mnt") + after.count("/mnt/boot") + after.count("/floppy"), 0u);

  // The search is over and nothing more is printed: no dots, no fatal line.
  size_t promptEnd = sandbox.console().output().find(aborted) + strlen(aborted);
  sandbox.console().drain(2.5);
  EXPECT_EQ(sandbox.console().output().substr(promptEnd), "");
  EXPECT_EQ(sandbox.waitForEnd(0.1), -1) << "the restart waits for ENTER";
  sandbox.console().send("q");
  ASSERT_TRUE(sandbox.console().waitFor("\a", 5, promptEnd));
  sandbox.console().send("\r");
  EXPECT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted);
  EXPECT_EQ(sandbox.console().output().substr(promptEnd), "\a" + std::string(kRebooting));
}

TEST_P(ProcessFrame, InitNameForksAWaitingInitProcess) {
  for (const char* name : {"/init", "/sbin/init", "/installer"}) {
    Sandbox one;
    one.options.program = GetParam();
    one.options.argv0 = name;
    ASSERT_TRUE(one.start());
    ASSERT_TRUE(one.console().waitFor(kPrompt, kTimeout));
    size_t children = childrenOf(one.initPid()).size();
    if (std::string(name).find("init") != std::string::npos) {
      EXPECT_EQ(children, 1u) << name << ": the work runs in a child";
    } else {
      EXPECT_EQ(children, 0u) << name << ": the work runs in process 1";
    }
    one.console().send("\r");
    EXPECT_EQ(one.waitForEnd(kTimeout), Sandbox::kRestarted);
  }
}

TEST_P(ProcessFrame, CrashOfTheInstallationProcessEndsInARestartNotInAPanic) {
  runToPrompt();
  std::vector<pid_t> children = childrenOf(sandbox.initPid());
  ASSERT_EQ(children.size(), 1u);
  size_t before = sandbox.console().output().size();
  // As the kernel's out-of-memory killer ends it: no handler (nor the
  // sanitizers' report) runs in between.
  ASSERT_EQ(kill(children[0], SIGKILL), 0);
  ASSERT_TRUE(sandbox.console().waitFor(kPrompt, kTimeout, before)) << sandbox.console().output();
  EXPECT_EQ(sandbox.console().output().substr(before),
            std::string("\nFATAL ERROR: the installer stopped unexpectedly (signal 9)\n") + kPrompt);
  EXPECT_EQ(sandbox.waitForEnd(0.5), -1) << "process 1 lives on and waits for ENTER";
  pressEnterAndExpectRestart(/*raw=*/true);
}

TEST_P(ProcessFrame, SerialConsoleWhenThereIsNoScreen) {
  // The installer's inherited output leads elsewhere; the dialogue must move
  // to /dev/ttyS0, which is the test's terminal.
  sandbox.options.detachedStdio = true;
  runToPrompt();
  EXPECT_EQ(sandbox.console().output(), std::string("FATAL ERROR: internal error\n") + kPrompt);
  pressEnterAndExpectRestart();
  EXPECT_EQ(sandbox.stdioOutput(), "");
}

TEST_P(ProcessFrame, ScreenConsoleKeepsTheInheritedDescriptors) {
  sandbox.options.screenConsole = true;
  sandbox.options.detachedStdio = true;
  ASSERT_TRUE(sandbox.start());
  // Input is /dev/null: the prompt's wait ends at once and the run restarts.
  EXPECT_EQ(sandbox.waitForEnd(kTimeout), Sandbox::kRestarted);
  EXPECT_EQ(sandbox.console().output(), "");
  EXPECT_EQ(sandbox.stdioOutput(),
            std::string("FATAL ERROR: internal error\n") + kPrompt + kRebooting);
}

TEST_P(ProcessFrame, ToolOutputGoesToTheLogConsoleOrNowhere) {
  const char* noisyTool =
      "echo 'sfdisk noise' >&2; echo '/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track'";
  {
    Sandbox screen;
    screen.options.program = GetParam();
    screen.options.screenConsole = true;
    screen.options.typeText = "cdrom\n";
    screen.fakeTool("/sbin/sfdisk", noisyTool);
    ASSERT_TRUE(screen.start());
    ASSERT_TRUE(screen.console().waitFor(kPrompt, kTimeout)) << screen.console().output();
    EXPECT_EQ(screen.console().output().find("noise"), std::string::npos);
    EXPECT_NE(screen.logConsole().find("sfdisk noise\n"), std::string::npos) << screen.logConsole();
    screen.console().send("\r");
    EXPECT_EQ(screen.waitForEnd(kTimeout), Sandbox::kRestarted);
  }
  // On the serial line the dialogue and the tools' output must not mix.
  sandbox.options.detachedStdio = true;
  sandbox.options.typeText = "cdrom\n";
  sandbox.fakeTool("/sbin/sfdisk", noisyTool);
  runToPrompt();
  EXPECT_EQ(sandbox.console().output().find("noise"), std::string::npos)
      << sandbox.console().output();
  pressEnterAndExpectRestart(/*raw=*/true);
  EXPECT_EQ(sandbox.stdioOutput().find("noise"), std::string::npos);
}

TEST_P(ProcessFrame, ExistingProcDirectoryIsReportedAndTheRunGoesOn) {
  sandbox.options.dirs = {"/mnt/proc"};
  runToPrompt();
  EXPECT_EQ(sandbox.console().output(),
            std::string("/proc: File exists\nFATAL ERROR: internal error\n") + kPrompt);
  pressEnterAndExpectRestart();
}

TEST_P(ProcessFrame, RunLeavesTheLicenseMarkerAndTheProcDirectory) {
  runToPrompt();
  pressEnterAndExpectRestart();
  struct stat marker;
  ASSERT_EQ(stat(sandbox.rootPath("/mnt/SHOW_LICENSE").c_str(), &marker), 0);
  EXPECT_EQ(marker.st_mode & 07777, 0600u);
  EXPECT_EQ(marker.st_size, 0);
  struct stat proc;
  ASSERT_EQ(stat(sandbox.rootPath("/mnt/proc").c_str(), &proc), 0);
  EXPECT_TRUE(S_ISDIR(proc.st_mode));
}

TEST_P(ProcessFrame, RestartBringsTheConsoleBackToLineMode) {
  sandbox.options.typeText = "cdrom\n";
  runToPrompt();
  termios modes;
  ASSERT_EQ(tcgetattr(sandbox.console().masterFd(), &modes), 0);
  EXPECT_FALSE(modes.c_lflag & ICANON) << "the CD-ROM mode runs in raw mode";
  pressEnterAndExpectRestart(/*raw=*/true);
  ASSERT_EQ(tcgetattr(sandbox.console().masterFd(), &modes), 0);
  EXPECT_TRUE(modes.c_lflag & ICANON);
  EXPECT_TRUE(modes.c_lflag & ECHO);
}

INSTANTIATE_TEST_SUITE_P(Builds, ProcessFrame,
                         ::testing::Values(KORVANEL_BINARY_DIR "/bin/installer",
                                           KORVANEL_I386_DIR "/bin/installer"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("host") : std::string("i386");
                         });

}  // namespace
