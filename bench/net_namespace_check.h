#pragma once
// Whether netinstall-fetch runs in a network namespace of its own, where
// taking every interface harms nobody. Plain logic over what the caller
// read from /proc and uname.

#include <sys/types.h>

#include <string>

// Recent kernels give the initial network namespace this fixed inode number
// (dynamic ones are numbered from 0xF0000000 up, so none can have it).
constexpr ino_t kInitialNetNamespaceInode = 0xEFFFFFF9;

struct NamespaceFacts {
  bool ownKnown = false;  // /proc/self/ns/net could be examined
  dev_t ownDevice = 0;
  ino_t ownInode = 0;
  bool firstKnown = false;  // /proc/1/ns/net could be examined (root may get EACCES)
  dev_t firstDevice = 0;
  ino_t firstInode = 0;
  std::string release;  // uname's release, "6.18.4-amd64"
};

// Whether the running kernel numbers the initial network namespace with
// kInitialNetNamespaceInode: from 6.18 on (the first release this was seen
// in; an older one that does is still not trusted).
bool kernelFixesInitialNetInode(const std::string& release);

// True when the namespace is neither the kernel's initial one nor that of
// process 1. Where process 1 cannot be examined, the fixed inode alone
// decides on a kernel that has it; otherwise nothing can tell: false.
bool inNetNamespaceOfItsOwn(const NamespaceFacts& facts);

// The facts of the calling process.
NamespaceFacts readNamespaceFacts();
