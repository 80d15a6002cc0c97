#pragma once
// The package selection menu: the packages of a PackageSet in three columns
// with check marks, the current item highlighted with its dependencies and
// description below, single-key commands, and automatic selection of what a
// chosen package needs. Everything is drawn with ANSI sequences on standard
// output for an 80x25 screen.

#include "packages/package_set.h"

// Screen rows and columns of the menu (as passed to moveCursor).
constexpr int kMenuFirstItemRow = 7;
constexpr int kMenuColumnWidth = 26;
constexpr int kMenuDetailsRow = 21;
constexpr int kMenuDetailsRows = 3;
constexpr int kMenuLeaveRow = 25;

// Runs the menu until 'i' (install: true) or 'q' (cancel: false); the end of
// the console's input counts as 'q'. Starts from the minimum selection, with
// the set's cursor where it was. On return the choice is in the items'
// `selected` flags, the console modes are as before the call and the cursor
// is visible. REQUIRES: the set holds at least one item.
bool runMenu(PackageSet& set);

// The operations the menu is made of. The drawing ones paint at the fixed
// positions; none of them flushes.
void drawItem(const PackageSet& set, unsigned int index);
void drawAllItems(const PackageSet& set);
void showDetails(const PackageSet& set);
void moveUp(PackageSet& set);
void moveDown(PackageSet& set);
void moveLeft(PackageSet& set);
void moveRight(PackageSet& set);
// Selects exactly the package named "system", then repaints every item.
void selectMinimum(PackageSet& set);
// toggleItem on the current item, then repaints every item.
void toggleCurrent(PackageSet& set);
// Selects the item and, recursively, the packages of the medium it needs; or
// deselects it and the items that directly need it. "system" cannot be
// deselected directly. Draws nothing.
void toggleItem(PackageSet& set, unsigned int index);
