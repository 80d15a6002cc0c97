#include "hardware/module_loader.h"

#include <cstdio>

// Not built yet: the lists are empty and loading reports that it cannot run.
const char* const storageModules[] = {nullptr};
const char* const usbModules[] = {nullptr};

void loadModules(const char* const*) {
  puts("FATAL ERROR: kernel module loading is not part of this build");
}
