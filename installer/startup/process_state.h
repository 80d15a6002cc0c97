#pragma once
// Process-wide state of the installation process. It lives for the whole run
// and is never torn down: every run ends in a restart.

#include <csignal>

class TerminalState;

// Where external tools write what the operator need not see: the log console
// "/dev/tty9", or "/dev/null" when the installer runs on a serial console.
extern const char* logConsolePath;

// Set once the installation flow has returned (and by the network flow after
// its post-install step). From then on SIGINT no longer aborts. Never cleared.
extern volatile std::sig_atomic_t installationFinished;

// The console of the whole run, created before anything is shown.
extern TerminalState* terminal;
