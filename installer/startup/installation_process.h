#pragma once
// The process frame of the installer.

// The installation process: mounts proc, chooses the console, installs the
// signal dispositions, creates the terminal and the empty target, runs the
// installation and restarts the machine. Returns 0 only when the restart
// request itself failed.
int runInstallationProcess(int argc, char** argv);

// SIGINT: the operator's abort. Unmounts the target and the source, waits for
// ENTER and restarts; does nothing once the installation has finished.
void onInterrupt(int);

// Keeps the screen console when there is one; otherwise the dialogue moves to
// the first serial line and tool output is discarded.
void chooseConsole();
