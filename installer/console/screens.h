#pragma once
// The fixed dialogue of the installation flows outside the package menu: the
// welcome screen, the keep-configuration question and the erase warning. All
// work on the process-wide `terminal` and write to standard output.
//
// REQUIRES: `terminal` exists (the installation process creates it first).

// Puts the console in raw mode for the rest of the flow, clears the screen
// and writes "Welcome to Korvanel Router Software <mode>" and the abort hint.
void showWelcome(const char* mode);

// Asks whether the old configuration is kept; true = keep. At the end of
// input the answer is no.
bool askKeepConfiguration();

// Warns that the disk will be erased and asks whether to go on; true = go on.
// At the end of input the answer is no.
bool confirmErase();
