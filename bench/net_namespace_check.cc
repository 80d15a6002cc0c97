#include "bench/net_namespace_check.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdlib>

bool kernelFixesInitialNetInode(const std::string& release) {
  char* end = nullptr;
  long major = strtol(release.c_str(), &end, 10);
  if (end == release.c_str() || *end != '.') return false;
  long minor = strtol(end + 1, nullptr, 10);
  return major > 6 || (major == 6 && minor >= 18);
}

bool inNetNamespaceOfItsOwn(const NamespaceFacts& facts) {
  if (!facts.ownKnown || facts.ownInode == kInitialNetNamespaceInode) return false;
  if (facts.firstKnown) {
    return facts.ownDevice != facts.firstDevice || facts.ownInode != facts.firstInode;
  }
  return kernelFixesInitialNetInode(facts.release);
}

NamespaceFacts readNamespaceFacts() {
  NamespaceFacts facts;
  struct stat own, first;
  facts.ownKnown = stat("/proc/self/ns/net", &own) == 0;
  if (facts.ownKnown) {
    facts.ownDevice = own.st_dev;
    facts.ownInode = own.st_ino;
  }
  facts.firstKnown = stat("/proc/1/ns/net", &first) == 0;
  if (facts.firstKnown) {
    facts.firstDevice = first.st_dev;
    facts.firstInode = first.st_ino;
  }
  utsname system;
  if (uname(&system) == 0) facts.release = system.release;
  return facts;
}
