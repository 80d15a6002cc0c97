#include "console/package_menu.h"

#include <cstdio>

#include "console/screen.h"
#include "console/terminal.h"

namespace {

constexpr const char* kTitle = "Welcome to Korvanel Router Software installation\n";
constexpr const char* kHelp =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.";
constexpr const char* kSystemPackage = "system";

unsigned int itemCount(const PackageSet& set) { return static_cast<unsigned int>(set.items.size()); }

// Moves the highlight from the current item to `target`: old item first, then
// the new one, then its details.
void moveTo(PackageSet& set, unsigned int target) {
  unsigned int old = set.cursor;
  set.cursor = target;
  drawItem(set, old);
  drawItem(set, target);
  showDetails(set);
}

void drawHeader() {
  clearScreen();
  hideCursor(true);
  setTextAttributes(TextBold);
  printLines(kTitle, /*centred=*/true);
  setTextAttributes(0);
  printWrapped(kHelp, /*centred=*/false);
}

}  // namespace

void drawItem(const PackageSet& set, unsigned int index) {
  const PackageItem& item = *set.items[index];
  moveCursor(kMenuColumnWidth * static_cast<int>(index / set.rowsPerColumn),
             kMenuFirstItemRow + static_cast<int>(index % set.rowsPerColumn));
  bool current = index == set.cursor;
  fputc(' ', stdout);
  if (current) setTextAttributes(TextReverse);
  printf(" [%c] %s ", item.selected ? 'X' : ' ', item.name.c_str());
  if (current) setTextAttributes(0);
}

void drawAllItems(const PackageSet& set) {
  for (unsigned int i = 0; i < itemCount(set); ++i) drawItem(set, i);
}

void showDetails(const PackageSet& set) {
  for (int row = kMenuDetailsRow; row < kMenuDetailsRow + kMenuDetailsRows; ++row) {
    moveCursor(0, row);
    clearLine();
  }
  moveCursor(0, kMenuDetailsRow);
  const PackageItem& item = *set.items[set.cursor];
  printf("%s (depends on ", item.name.c_str());
  if (item.dependencies.empty()) fputs("nothing", stdout);
  for (size_t i = 0; i < item.dependencies.size(); ++i) {
    printf("%s%s", i ? ", " : "", item.dependencies[i].name.c_str());
  }
  fputs("):\n", stdout);
  printWrapped(item.description.c_str(), /*centred=*/false);
}

void moveUp(PackageSet& set) {
  if (set.cursor > 0) moveTo(set, set.cursor - 1);
}

void moveDown(PackageSet& set) {
  if (set.cursor + 1 < itemCount(set)) moveTo(set, set.cursor + 1);
}

void moveLeft(PackageSet& set) {
  if (set.cursor >= set.rowsPerColumn) moveTo(set, set.cursor - set.rowsPerColumn);
}

void moveRight(PackageSet& set) {
  if (set.cursor + set.rowsPerColumn < itemCount(set)) moveTo(set, set.cursor + set.rowsPerColumn);
}

void selectMinimum(PackageSet& set) {
  for (auto& item : set.items) item->selected = item->name == kSystemPackage;
  drawAllItems(set);
}

void toggleCurrent(PackageSet& set) {
  toggleItem(set, set.cursor);
  drawAllItems(set);
}

void toggleItem(PackageSet& set, unsigned int index) {
  PackageItem& item = *set.items[index];
  if (item.selected) {
    if (item.name == kSystemPackage) return;
    item.selected = false;
    // One level only: what needs the dependants keeps its state.
    for (auto& other : set.items) {
      if (other->requires(item)) other->selected = false;
    }
    return;
  }
  item.selected = true;
  // Each step selects one more item, so the recursion ends.
  for (const PackageDep& dep : item.dependencies) {
    int found = set.findByName(dep.name);
    if (found >= 0 && !set.items[static_cast<size_t>(found)]->selected) {
      toggleItem(set, static_cast<unsigned int>(found));
    }
  }
}

bool runMenu(PackageSet& set) {
  unsigned int count = itemCount(set);
  if (count == 0) return false;  // nothing to choose from: as if cancelled
  set.rowsPerColumn = count / 3 + (count % 3 != 0 ? 1 : 0);
  bool install = false;
  {
    // A menu of its own: entering raw mode discards keys typed before it.
    TerminalState local;
    local.enterRawMode();
    drawHeader();
    drawAllItems(set);
    selectMinimum(set);
    showDetails(set);
    for (bool done = false; !done;) {
      // A byte value or one of the special keys above every byte.
      int key = readMenuKey();
      switch (key) {
        case Up: case 'p': case 'P': moveUp(set); break;
        case Down: case 'n': case 'N': moveDown(set); break;
        case Right: moveRight(set); break;
        case Left: moveLeft(set); break;
        case ' ': toggleCurrent(set); break;
        case 'a': case 'A':
          set.selectAll();
          drawAllItems(set);
          break;
        case 'm': case 'M': selectMinimum(set); break;
        case 'i': case 'I':
          install = true;
          done = true;
          break;
        case 'q': case 'Q':
        case EndOfInput:  // nobody left to choose: cancel rather than spin
          done = true;
          break;
        default: break;  // unknown keys are ignored, without a beep
      }
    }
    moveCursor(0, kMenuLeaveRow);
    // Leaving the scope restores the console (modes, visible cursor).
  }
  fflush(stdout);
  return install;
}
