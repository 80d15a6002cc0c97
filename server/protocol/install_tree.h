#pragma once
// The server's root directory: what it sends and in which order.
//
//   DIR/drivers/<kernel release>.bdl   the driver package for that kernel
//   DIR/packages/*.bdl                 the packages, in installation order
//   DIR/scripts/*.scr                  configuration scripts, after the packages
//   DIR/held-scripts/*.scr             scripts sent last with mark 0: installers
//                                      receive them but keep them out of the
//                                      new system
//
// Everything is listed afresh when a client starts, so an operator may change
// the tree between installations.

#include <string>
#include <vector>

// The installer keeps at most this many characters of a file name; a longer
// name would arrive cut and could change its kind (".scr" or not).
constexpr size_t kLongestServedName = 31;
constexpr int kPackageMark = 0;
constexpr int kScriptMark = 1;      // a script the installer writes into the new system
constexpr int kHeldScriptMark = 0;  // a script the installer keeps out of it

struct ServedFile {
  std::string name;  // as sent in the header
  std::string path;  // where the server reads it
  int mark = kPackageMark;
  bool script = false;
};

// Whether `name` can travel in a header and arrive whole: 1 to 31
// characters, printable, no "/", not "." or "..".
bool isServableName(const std::string& name);

// Start-up check of DIR: it must be a directory whose packages/ holds at
// least one package, every one of them a package, and whose files can all
// be listed. False with the reason
// (one line) in `error`.
[[nodiscard]] bool checkInstallTree(const std::string& root, std::string& error);

// The files a client receives after "STRT": the packages in installation
// order, then the scripts by name with mark 1, then the held scripts by
// name with mark 0. False with the reason in
// `error` when a directory cannot be read, a name cannot be served or a
// package file is not a package.
[[nodiscard]] bool listInstallFiles(const std::string& root, std::vector<ServedFile>& files,
                                    std::string& error);

// The *.scr files of `dir` by name, as scripts with `mark`, appended to
// `scripts`; a missing folder has none. False with the reason in `error`.
[[nodiscard]] bool listScriptFiles(const std::string& dir, int mark,
                                   std::vector<ServedFile>& scripts, std::string& error);

// The driver packages of DIR (drivers/*.bdl, none when it is missing), by
// name. False with the reason in `error`.
[[nodiscard]] bool listDriverFiles(const std::string& root, std::vector<ServedFile>& files,
                                   std::string& error);

// The packages and driver packages of DIR that are not signed, as paths
// below DIR ("packages/zbase.bdl"), by name: installers given a package key
// refuse them.
std::vector<std::string> listUnsignedPackages(const std::string& root);

// The driver package for the kernel `release` a client named. False when the
// release is not a plain name or there is no such regular file.
[[nodiscard]] bool findDriverFile(const std::string& root, const std::string& release,
                                  ServedFile& file);
