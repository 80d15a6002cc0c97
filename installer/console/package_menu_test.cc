// The package menu on a real pseudo-terminal, compared byte for byte with the
// screen layout the menu is meant to draw, over media packed with bdl.
#include "console/package_menu.h"

#include <gtest/gtest.h>

#include "output_capture.h"
#include "package_builder.h"
#include "packages/package_fixtures.h"
#include "pty_session.h"

namespace {

constexpr double kTimeout = 10;
const std::string kEsc = "\033";

// Expected bytes, written out from the menu's layout rules.
std::string at(int column, int row) {
  return kEsc + "[" + std::to_string(row) + ";" + std::to_string(column) + "H";
}

std::string header() {
  return kEsc + "[2J" + kEsc + "[H" + kEsc + "[?25l" + kEsc + "[m" + kEsc + "[1m" +
         std::string(16, ' ') + "Welcome to Korvanel Router Software installation\n" +
         std::string(40, ' ') + "\n" + kEsc + "[m" +
         "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. \n"
         "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'q' to \n"
         "cancel and reboot. \n";
}

struct Item {
  std::string name;
  bool selected;
};

// One cell: the leading blank is never highlighted.
std::string cell(unsigned index, unsigned rows, const Item& item, bool current) {
  std::string text = at(26 * static_cast<int>(index / rows), 7 + static_cast<int>(index % rows)) + " ";
  if (current) text += kEsc + "[m" + kEsc + "[7m";
  text += std::string(" [") + (item.selected ? "X" : " ") + "] " + item.name + " ";
  if (current) text += kEsc + "[m";
  return text;
}

std::string allCells(const std::vector<Item>& items, unsigned rows, unsigned cursor) {
  std::string text;
  for (unsigned i = 0; i < items.size(); ++i) text += cell(i, rows, items[i], i == cursor);
  return text;
}

std::string details(const std::string& line, const std::string& description) {
  return at(0, 21) + kEsc + "[2K" + at(0, 22) + kEsc + "[2K" + at(0, 23) + kEsc + "[2K" +
         at(0, 21) + line + "\n" + (description.empty() ? "" : description + " ") + "\n";
}

const std::string kLeave = at(0, 25) + kEsc + "[?25h";

// Runs the menu on the scanned set in a child on a pseudo-terminal. Its exit
// code: 128 when it returned true, plus bit i for each selected item i.
std::unique_ptr<PtySession> startMenu(PackageSet& set, int runs = 1) {
  return PtySession::startFunction([&set, runs] {
    bool install = false;
    for (int i = 0; i < runs; ++i) install = runMenu(set);
    int code = install ? 128 : 0;
    for (size_t i = 0; i < set.items.size() && i < 7; ++i) {
      if (set.items[i]->selected) code |= 1 << i;
    }
    return code;
  });
}

class MenuTest : public ::testing::Test {
 protected:
  void scan(const std::vector<FixturePackage>& packages) {
    ASSERT_EQ(makeMedium(medium_.path(), packages), "");
    std::string out = captureStdout([&] { ASSERT_TRUE(set_.scanDirectory(medium_.path().c_str())); });
    ASSERT_EQ(out, "");
  }
  // Starts the menu and waits for its first screen to be complete, so that
  // keys sent afterwards are not discarded with the pending input.
  std::unique_ptr<PtySession> start(const std::string& firstScreen, int runs = 1) {
    auto session = startMenu(set_, runs);
    EXPECT_TRUE(session->waitFor(firstScreen, kTimeout)) << session->output();
    return session;
  }

  package_testing::TempDir medium_;
  PackageSet set_;
};

// system, a, dhcp, b: two rows per column.
const std::vector<FixturePackage> kFour = {{"b", {}, "", ""},
                                           {"a", {}, "", ""},
                                           {"system", {}, "Base system", ""},
                                           {"dhcp", {"system"}, "Address server", ""}};

std::string fourFirstScreen() {
  std::vector<Item> none = {{"system", false}, {"a", false}, {"dhcp", false}, {"b", false}};
  std::vector<Item> minimum = {{"system", true}, {"a", false}, {"dhcp", false}, {"b", false}};
  return header() + allCells(none, 2, 0) + allCells(minimum, 2, 0) +
         details("system (depends on nothing):", "Base system");
}

TEST_F(MenuTest, FirstScreenLayoutAndCancel) {
  scan(kFour);
  std::string first = fourFirstScreen();
  // Spot checks of the layout, independent of the helpers above.
  EXPECT_NE(first.find(kEsc + "[7;0H " + kEsc + "[m" + kEsc + "[7m [X] system " + kEsc + "[m"),
            std::string::npos);
  EXPECT_NE(first.find(kEsc + "[8;26H  [ ] b "), std::string::npos);
  auto session = start(first);
  session->send("q");
  EXPECT_EQ(session->exitCode(kTimeout), 0b0001) << "cancel, with only system selected";
  EXPECT_EQ(session->output(), first + kLeave);
}

TEST_F(MenuTest, MovesThatCannotHappenPaintNothing) {
  scan(kFour);
  std::vector<Item> items = {{"system", true}, {"a", false}, {"dhcp", false}, {"b", false}};
  auto session = start(fourFirstScreen());
  // Up and Left at 0; then Right to 2, Right again (nothing), Down to 3, Down
  // again (nothing); Left to 1, Right to 3.
  session->send(kEsc + "[A" + kEsc + "[D" + "p" + kEsc + "[C" + kEsc + "[C" + "n" + "N" + kEsc +
                "[D" + kEsc + "[C" + "q");
  EXPECT_EQ(session->exitCode(kTimeout), 0b0001);
  std::string expected = fourFirstScreen() +
                         cell(0, 2, items[0], false) + cell(2, 2, items[2], true) +
                         details("dhcp (depends on system):", "Address server") +
                         cell(2, 2, items[2], false) + cell(3, 2, items[3], true) +
                         details("b (depends on nothing):", "") +
                         cell(3, 2, items[3], false) + cell(1, 2, items[1], true) +
                         details("a (depends on nothing):", "") +
                         cell(1, 2, items[1], false) + cell(3, 2, items[3], true) +
                         details("b (depends on nothing):", "") + kLeave;
  EXPECT_EQ(session->output(), expected);
}

TEST_F(MenuTest, ArrowSequencesActLikeLettersAndUnknownBytesAreIgnoredSilently) {
  scan(kFour);
  auto letters = start(fourFirstScreen());
  letters->send("nq");
  ASSERT_EQ(letters->exitCode(kTimeout), 0b0001);
  std::string byLetters = letters->output();

  PackageSet again;
  ASSERT_EQ(captureStdout([&] { ASSERT_TRUE(again.scanDirectory(medium_.path().c_str())); }), "");
  auto arrows = startMenu(again);
  ASSERT_TRUE(arrows->waitFor(fourFirstScreen(), kTimeout));
  // Unknown keys, a dropped ESC [ Z sequence, then Down as ESC [ B; ESC q cancels.
  arrows->send("xz7\t" + kEsc + "[Z" + kEsc + "[B" + kEsc + "q");
  EXPECT_EQ(arrows->exitCode(kTimeout), 0b0001);
  EXPECT_EQ(arrows->output(), byLetters);
  EXPECT_EQ(arrows->output().find('\a'), std::string::npos) << "no beeps";
}

// system, a -> b -> c, lonely -> (absent): five items, two rows.
const std::vector<FixturePackage> kChain = {{"system", {}, "", ""},
                                            {"a", {"b"}, "", ""},
                                            {"b", {"c"}, "", ""},
                                            {"c", {}, "", ""},
                                            {"lonely", {"absent"}, "", ""}};

TEST_F(MenuTest, SelectingPullsInNeedsAndDeselectingDropsDirectDependants) {
  scan(kChain);
  // Order on screen: system, a, b, c, lonely.
  auto session = startMenu(set_);
  ASSERT_TRUE(session->waitFor("system (depends on nothing):\n\n", kTimeout));
  size_t mark = session->output().size();
  // Space on system (stays), down to a, select it (b and c follow).
  session->send(" n ");
  std::vector<Item> afterA = {{"system", true}, {"a", true}, {"b", true}, {"c", true},
                              {"lonely", false}};
  ASSERT_TRUE(session->waitFor(allCells(afterA, 2, 1), kTimeout, mark)) << session->output();
  // Down twice to c and deselect it: b needs c and goes, a stays. Then lonely,
  // whose need is not on the medium.
  session->send("nn n i");
  EXPECT_EQ(session->exitCode(kTimeout), 128 | 0b10011) << "install with system, a and lonely";
  std::vector<Item> end = {{"system", true}, {"a", true}, {"b", false}, {"c", false},
                           {"lonely", true}};
  std::string out = session->output();
  EXPECT_EQ(out.substr(out.size() - allCells(end, 2, 4).size() - kLeave.size()),
            allCells(end, 2, 4) + kLeave);
}

TEST_F(MenuTest, SelectAllThenMinimumLeavesOnlySystem) {
  scan(kChain);
  auto session = startMenu(set_);
  ASSERT_TRUE(session->waitFor("system (depends on nothing):\n\n", kTimeout));
  session->send("a");
  std::vector<Item> all = {{"system", true}, {"a", true}, {"b", true}, {"c", true},
                           {"lonely", true}};
  ASSERT_TRUE(session->waitFor(allCells(all, 2, 0), kTimeout));
  size_t mark = session->output().size();
  session->send("MI");
  EXPECT_EQ(session->exitCode(kTimeout), 128 | 0b00001);
  std::vector<Item> minimum = {{"system", true}, {"a", false}, {"b", false}, {"c", false},
                               {"lonely", false}};
  EXPECT_EQ(session->output().substr(mark), allCells(minimum, 2, 0) + kLeave)
      << "'a' and 'm' repaint the items, not the details";
}

TEST_F(MenuTest, ASecondRunStartsFromMinimumWithTheCursorKept) {
  scan(kFour);
  auto session = startMenu(set_, /*runs=*/2);
  ASSERT_TRUE(session->waitFor(fourFirstScreen(), kTimeout));
  session->send("nai");
  ASSERT_TRUE(session->waitFor(kLeave + header(), kTimeout));
  std::vector<Item> all = {{"system", true}, {"a", true}, {"dhcp", true}, {"b", true}};
  std::vector<Item> minimum = {{"system", true}, {"a", false}, {"dhcp", false}, {"b", false}};
  std::string second = header() + allCells(all, 2, 1) + allCells(minimum, 2, 1) +
                       details("a (depends on nothing):", "");
  ASSERT_TRUE(session->waitFor(second, kTimeout)) << session->output();
  session->send("i");
  EXPECT_EQ(session->exitCode(kTimeout), 128 | 0b0001);
}

TEST(Menu, EndOfInputCancels) {
  package_testing::TempDir medium;
  ASSERT_EQ(makeMedium(medium.path(), {{"system", {}, "", ""}, {"x", {}, "", ""}}), "");
  PackageSet set;
  ASSERT_EQ(captureStdout([&] { ASSERT_TRUE(set.scanDirectory(medium.path().c_str())); }), "");
  bool install = true;
  std::string out = runWithInput("na", [&] { install = runMenu(set); });
  EXPECT_FALSE(install);
  EXPECT_EQ(out.substr(out.size() - kLeave.size()), kLeave);
  EXPECT_EQ(set.rowsPerColumn, 1u);
  EXPECT_EQ(set.cursor, 1u);
}

}  // namespace
