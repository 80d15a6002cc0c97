#pragma once
// Loads kernel modules from "/lib/modules/<release>/" straight through the
// kernel's module-loading call, in list order.

// Null-terminated lists of module paths relative to the module directory.
extern const char* const storageModules[];
extern const char* const usbModules[];

// Loads every module of `list`; reports missing or unmappable files on
// standard output and skips modules the kernel refuses without a word.
void loadModules(const char* const* list);
