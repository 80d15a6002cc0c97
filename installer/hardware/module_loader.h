#pragma once
// Loads kernel modules from "/lib/modules/<release>/" straight through the
// kernel's module-loading call, in list order, without any module tool and
// without resolving dependencies: the lists name core modules first.

#include <string>

// Null-terminated lists of module paths relative to the module directory:
// 39 storage and file-system modules, and 6 USB modules.
extern const char* const storageModules[];
extern const char* const usbModules[];

// "/lib/modules/" + release + "/" + entry.
std::string modulePath(const char* release, const char* entry);

// Loads every module of `list`, in order, and returns nothing. On standard
// output: "ERROR: could not load module <entry>: file not found" for a file
// that cannot be opened, "ERROR: could not load module <entry>" for one that
// cannot be sized or mapped (an empty file). A module the kernel refuses
// (present already, no hardware, missing symbols, not a module) is skipped
// without a word.
void loadModules(const char* const* list);
