#include "startup/process_state.h"

const char* logConsolePath = "/dev/tty9";
volatile std::sig_atomic_t installationFinished = 0;
TerminalState* terminal = nullptr;
