#include "console/screen.h"

#include <gtest/gtest.h>

#include "output_capture.h"

namespace {

const char kMenuHelp[] =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. "
    "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'q' "
    "to cancel and reboot.";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    result.push_back(text.substr(start, nl - start));
  }
  EXPECT_EQ(start, text.size()) << "output must end with a newline";
  return result;
}

TEST(ScreenSequences, ExactBytes) {
  EXPECT_EQ(captureStdout([] { setTextAttributes(TextReverse); }), "\033[m\033[7m");
  EXPECT_EQ(captureStdout([] { setTextAttributes(0); }), "\033[m");
  EXPECT_EQ(captureStdout([] { setTextAttributes(TextBold | TextUnderline | TextBlink | TextReverse); }),
            "\033[m\033[4m\033[7m\033[5m\033[1m");
  EXPECT_EQ(captureStdout([] { moveCursor(26, 7); }), "\033[7;26H");
  EXPECT_EQ(captureStdout([] { moveCursor(0, 25); }), "\033[25;0H");
  EXPECT_EQ(captureStdout([] { clearScreen(); }), "\033[2J\033[H");
  EXPECT_EQ(captureStdout([] { clearLine(); }), "\033[2K");
  EXPECT_EQ(captureStdout([] { hideCursor(true); }), "\033[?25l");
  EXPECT_EQ(captureStdout([] { hideCursor(false); }), "\033[?25h");
}

TEST(PrintLine, CentresInEightyColumns) {
  std::string text(48, 'x');
  EXPECT_EQ(captureStdout([&] { printLine(text.c_str(), 48, true); }), std::string(16, ' ') + text + "\n");
  // Only `length` bytes are written, terminated or not.
  EXPECT_EQ(captureStdout([] { printLine("abcdef", 3, false); }), "abc\n");
  std::string wide(80, 'w');
  EXPECT_EQ(captureStdout([&] { printLine(wide.c_str(), 80, true); }), wide + "\n");
  std::string wider(85, 'w');
  EXPECT_EQ(captureStdout([&] { printLine(wider.c_str(), 85, true); }), wider + "\n");
  EXPECT_EQ(captureStdout([] { printLine("a", 1, true); }), std::string(39, ' ') + "a\n");
}

TEST(PrintLines, TrailingNewlineGivesAnEmptyCentredLine) {
  EXPECT_EQ(captureStdout([] { printLines("hello\n", true); }),
            std::string(37, ' ') + "hello\n" + std::string(40, ' ') + "\n");
  EXPECT_EQ(captureStdout([] { printLines("a\n\nb", false); }), "a\n\nb\n");
  EXPECT_EQ(captureStdout([] { printLines("", false); }), "\n");
}

TEST(PrintWrapped, MenuHelpTextComesOutAs74_78_19) {
  std::vector<std::string> out = lines(captureStdout([] { printWrapped(kMenuHelp, false); }));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].size(), 74u);
  EXPECT_EQ(out[1].size(), 78u);
  EXPECT_EQ(out[2].size(), 19u);
  EXPECT_EQ(out[2], "cancel and reboot. ");
  EXPECT_EQ(out[0].back(), ' ');
}

TEST(PrintWrapped, SeparatorsCollapseAndLineBreaksAreNotKept) {
  EXPECT_EQ(captureStdout([] { printWrapped("  one \n\n two   three\n", false); }), "one two three \n");
  EXPECT_EQ(captureStdout([] { printWrapped("", false); }), "\n");
  EXPECT_EQ(captureStdout([] { printWrapped("   \n ", false); }), "\n");
  EXPECT_EQ(captureStdout([] { printWrapped("ab", true); }), std::string(38, ' ') + "ab \n");
}

TEST(PrintWrapped, NoLineLongerThan78UnlessOneWordIs) {
  std::string text;
  for (int i = 0; i < 60; ++i) text += std::string(static_cast<size_t>(1 + i % 9), 'a' + i % 26) + " ";
  for (const std::string& line : lines(captureStdout([&] { printWrapped(text.c_str(), false); }))) {
    EXPECT_LE(line.size(), 78u);
  }
}

TEST(PrintWrapped, OverlongWordClosesTheLineAndStandsAlone) {
  std::string word(90, 'L');
  std::string text = "short " + word + " tail";
  std::vector<std::string> out = lines(captureStdout([&] { printWrapped(text.c_str(), false); }));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], "short ");
  EXPECT_EQ(out[1], word + " ");
  EXPECT_EQ(out[2], "tail ");
  // At the very start the closed line is empty and still written; the word
  // is the last line, with nothing after it.
  out = lines(captureStdout([&] { printWrapped(word.c_str(), false); }));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], "");
  EXPECT_EQ(out[1], word + " ");
}

TEST(PrintWrapped, WordsOf78And79CharactersStillFitTheLineBuffer) {
  for (size_t length : {78u, 79u}) {
    std::string word(length, 'w');
    std::string text = "short " + word;
    std::vector<std::string> out = lines(captureStdout([&] { printWrapped(text.c_str(), false); }));
    ASSERT_EQ(out.size(), 2u) << length;
    EXPECT_EQ(out[0], "short ");
    EXPECT_EQ(out[1], word + " ") << "no empty line after the last word";
  }
}

}  // namespace
