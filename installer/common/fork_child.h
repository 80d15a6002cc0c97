#pragma once
// Forking children of the installation process.

#include <sys/types.h>

// fork(2), with the installation process's handlers for SIGINT (the abort)
// and SIGALRM (the progress ticker) back at their defaults in the child
// before it can receive either signal. Without this, a Ctrl-C that reaches
// the process group between a fork and the child's exec would run the abort
// path twice: in the installer and in its child. The signals are blocked
// across the fork; one that arrives meanwhile is delivered to the installer
// afterwards.
pid_t forkChild();
