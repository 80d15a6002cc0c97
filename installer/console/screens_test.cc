// The fixed screens on a real pseudo-terminal, byte for byte.
#include "console/screens.h"

#include <gtest/gtest.h>
#include <termios.h>

#include "console/terminal.h"
#include "output_capture.h"
#include "pty_session.h"
#include "startup/process_state.h"

namespace {

constexpr double kTimeout = 10;

TEST(Screens, WelcomeClearsTheScreenAndGoesRawOnce) {
  auto session = PtySession::startFunction([] {
    termios before, raw, after;
    tcgetattr(0, &before);
    terminal = new TerminalState;
    showWelcome("hard disk installation");
    tcgetattr(0, &raw);
    showWelcome("remote installation");  // already raw: the saved modes stay
    terminal->restore();
    tcgetattr(0, &after);
    bool ok = !(raw.c_lflag & ICANON) && !(raw.c_lflag & ECHO) && after.c_lflag == before.c_lflag;
    return ok ? 0 : 1;
  });
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(),
            "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software hard disk installation\n"
            "Press Ctrl-Alt-Delete to abort\n"
            "\033[?25l\033[H\033[2JWelcome to Korvanel Router Software remote installation\n"
            "Press Ctrl-Alt-Delete to abort\n"
            "\033[?25h");
}

// Runs a question in a raw console child; exit code 1 for yes, 0 for no.
std::unique_ptr<PtySession> ask(bool (*question)()) {
  return PtySession::startFunction([question] {
    terminal = new TerminalState;
    terminal->enterRawMode();
    return question() ? 1 : 0;
  });
}

TEST(Screens, KeepConfigurationQuestion) {
  auto session = ask(askKeepConfiguration);
  ASSERT_TRUE(session->waitFor("[y/n]:", kTimeout));
  session->send("xN");
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(), "Do you want to keep old configuration?  [y/n]:\an\n\n");
}

TEST(Screens, EraseWarningYesAndNo) {
  auto yes = ask(confirmErase);
  ASSERT_TRUE(yes->waitFor("[y/n]:", kTimeout));
  yes->send("\nY");
  EXPECT_EQ(yes->exitCode(kTimeout), 1);
  EXPECT_EQ(yes->output(),
            "Warning: all data on the disk will be erased!\n\nContinue? [y/n]:\ay\n\n");

  auto no = ask(confirmErase);
  ASSERT_TRUE(no->waitFor("[y/n]:", kTimeout));
  no->send("n");
  EXPECT_EQ(no->exitCode(kTimeout), 0);
  EXPECT_EQ(no->output(), "Warning: all data on the disk will be erased!\n\nContinue? [y/n]:n\n");
}

TEST(Screens, EndOfInputAnswersNo) {
  terminal = new TerminalState;
  bool keep = true, go = true;
  std::string out = runWithInput("", [&] {
    keep = askKeepConfiguration();
    go = confirmErase();
  });
  EXPECT_FALSE(keep);
  EXPECT_FALSE(go);
  delete terminal;
  terminal = nullptr;
}

}  // namespace
