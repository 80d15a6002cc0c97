#pragma once
// The init process: the first process the kernel starts, which only waits
// for the installation process.

#include <sys/types.h>

// Waits for the installation process `child`. That process ends every run
// by restarting the machine, so its end is always a fault (a crash, or a
// restart request that failed): then prints one FATAL ERROR line naming the
// signal or the exit status, ends what the installation process left
// running, unmounts the target and the source, waits for ENTER and restarts.
// Never returns: process 1 ending would panic the kernel.
[[noreturn]] void superviseInstallation(pid_t child);
