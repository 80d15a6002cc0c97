#include "console/terminal.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "output_capture.h"
#include "pty_session.h"

namespace {

constexpr double kTimeout = 10;

TEST(RawMode, ClearsOnlyCanonicalModeAndEcho) {
  auto session = PtySession::startFunction([] {
    termios before, raw;
    tcgetattr(0, &before);
    TerminalState state;
    state.enterRawMode();
    tcgetattr(0, &raw);
    bool ok = !(raw.c_lflag & ICANON) && !(raw.c_lflag & ECHO) && (raw.c_lflag & ISIG) &&
              (raw.c_iflag == before.c_iflag) && (raw.c_oflag == before.c_oflag) &&
              raw.c_cc[VMIN] == 1 && raw.c_cc[VTIME] == 0;
    return ok ? 0 : 1;
  });
  EXPECT_EQ(session->exitCode(kTimeout), 0);
}

TEST(RawMode, EnteredTwiceSavesOnceAndRestoreBringsBackLineMode) {
  auto session = PtySession::startFunction([] {
    termios before, after;
    tcgetattr(0, &before);
    TerminalState state;
    state.enterRawMode();
    state.enterRawMode();
    state.restore();
    tcgetattr(0, &after);
    return (after.c_lflag == before.c_lflag && after.c_cc[VMIN] == before.c_cc[VMIN]) ? 0 : 1;
  });
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(), "\033[?25h\033[?25h") << "restore, then the destructor's restore";
}

TEST(RawMode, RestoreWithoutRawModeOnlyShowsTheCursor) {
  auto session = PtySession::startFunction([] {
    termios before, after;
    tcgetattr(0, &before);
    {
      TerminalState state;
      state.restore();
      tcgetattr(0, &after);
    }
    return after.c_lflag == before.c_lflag ? 0 : 1;
  });
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(), "\033[?25h\033[?25h");
}

TEST(RawMode, SecondInstanceSavesRawModesSoOnlyTheFirstRestoresLineMode) {
  auto session = PtySession::startFunction([] {
    termios modes;
    TerminalState outer;
    outer.enterRawMode();
    {
      TerminalState inner;
      inner.enterRawMode();
    }
    tcgetattr(0, &modes);
    bool stillRaw = !(modes.c_lflag & ICANON);
    outer.restore();
    tcgetattr(0, &modes);
    return (stillRaw && (modes.c_lflag & ICANON)) ? 0 : 1;
  });
  EXPECT_EQ(session->exitCode(kTimeout), 0);
}

TEST(AskYesNo, RefusesOtherKeysWithBellsAndEchoesLowerCase) {
  auto session = PtySession::startFunction([] {
    TerminalState state;
    state.enterRawMode();
    bool answer = state.askYesNo("Continue?");
    state.restore();
    fflush(stdout);
    return answer ? 0 : 1;
  });
  ASSERT_TRUE(session->waitForRawMode(kTimeout));
  ASSERT_TRUE(session->waitFor("Continue? [y/n]:", kTimeout));
  session->send("x\nY");
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(), "Continue? [y/n]:\a\ay\n\033[?25h\033[?25h");
}

TEST(AskYesNo, NoAndEnterAloneAndDigits) {
  auto session = PtySession::startFunction([] {
    TerminalState state;
    state.enterRawMode();
    return state.askYesNo("Keep?") ? 0 : 1;
  });
  ASSERT_TRUE(session->waitForRawMode(kTimeout));
  session->send("\r 7N");
  EXPECT_EQ(session->exitCode(kTimeout), 1);
  EXPECT_EQ(session->output(), "Keep? [y/n]:\a\a\an\n\033[?25h");
}

TEST(AskYesNo, EndOfInputAnswersNoWithoutSpinning) {
  bool answer = true;
  std::string out = runWithInput("xz", [&] {
    TerminalState state;
    answer = state.askYesNo("Erase?");
  });
  EXPECT_FALSE(answer);
  EXPECT_EQ(out, "Erase? [y/n]:\a\an\n\033[?25h");
}

TEST(WaitForEnter, BeepsForEveryOtherByteAndTakesCarriageReturnAsEnter) {
  auto session = PtySession::startFunction([] {
    TerminalState state;
    state.enterRawMode();
    state.waitForEnter();
    return 0;
  });
  ASSERT_TRUE(session->waitForRawMode(kTimeout));
  session->send("abc\r");  // the terminal's own CR-to-NL translation stays on
  EXPECT_EQ(session->exitCode(kTimeout), 0);
  EXPECT_EQ(session->output(), "\a\a\a\033[?25h");
}

TEST(WaitForEnter, ReturnsAtEndOfInput) {
  std::string out = runWithInput("ab", [] {
    TerminalState state;
    state.waitForEnter();
  });
  EXPECT_EQ(out, "\a\a\033[?25h");
}

std::vector<int> menuKeys(const std::string& input, size_t count) {
  std::vector<int> keys;
  runWithInput(input, [&] {
    for (size_t i = 0; i < count; ++i) keys.push_back(readMenuKey());
  });
  return keys;
}

TEST(ReadMenuKey, ArrowSequencesAndEscapeRules) {
  EXPECT_EQ(menuKeys("\033[A\033[B\033[C\033[D", 5),
            (std::vector<int>{Up, Down, Right, Left, EndOfInput}));
  EXPECT_EQ(menuKeys("\033q", 1), (std::vector<int>{'q'}));
  EXPECT_EQ(menuKeys("\033[Zn", 2), (std::vector<int>{'n', EndOfInput}));
  EXPECT_EQ(menuKeys("\033\033[A", 2), (std::vector<int>{0x1B, '['}));
  EXPECT_EQ(menuKeys("a\377 ", 4), (std::vector<int>{'a', 0xFF, ' ', EndOfInput}));
  EXPECT_EQ(menuKeys("\033", 1), (std::vector<int>{EndOfInput}));
  EXPECT_EQ(menuKeys("\033[", 1), (std::vector<int>{EndOfInput}));
}

TEST(ReadMenuKey, FlushesPendingOutputBeforeWaiting) {
  auto session = PtySession::startFunction([] {
    TerminalState state;
    state.enterRawMode();
    fputs("drawn", stdout);  // no newline: would sit in the buffer
    return readMenuKey() == Down ? 0 : 1;
  });
  ASSERT_TRUE(session->waitForRawMode(kTimeout));
  ASSERT_TRUE(session->waitFor("drawn", kTimeout));
  session->send("\033[B");
  EXPECT_EQ(session->exitCode(kTimeout), 0);
}

}  // namespace
