#pragma once
// Installs archive members into a RootDir: regular files, directories,
// symbolic links and hard links with their modes, owners and times.
//
// Files are written under a temporary name in their directory and renamed
// into place when complete, so a member cut short by a damaged stream never
// replaces a good file, and programs that run from a replaced file keep their
// copy. Directory owners, modes and times are applied by finish(), after
// their contents, as the contents' arrival changes them.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "pending_directories.h"
#include "root_dir.h"

namespace libinstall {

struct ExtractOptions {
  // An existing non-directory at a member's path is replaced; otherwise the
  // member fails.
  bool replaceFiles = true;
  // Owners are applied only when the process may (it runs as root).
  bool applyOwners = true;
};

class Extractor {
 public:
  static constexpr size_t kCopyBlock = 128 * 1024;

  Extractor(RootDir& root, ExtractOptions options);
  ~Extractor();

  // Installs `member`, reading its data from `reader`. `components` is the
  // member's path split by splitMemberPath (non-empty). False with *error,
  // which gives the reason; the caller names the member.
  bool install(const Member& member, const std::vector<std::string>& components,
               ArchiveReader& reader, std::string* error);

  // Applies the deferred owners, modes and times of the directories the
  // package holds, deepest first. False with *error.
  bool finish(std::string* error);

 private:
  bool installRegular(const Member& member, int parent, const std::string& name,
                      ArchiveReader& reader, std::string* error);
  bool installDirectory(const Member& member, const std::vector<std::string>& components,
                        int parent, const std::string& name, std::string* error);
  bool installSymlink(const Member& member, int parent, const std::string& name,
                      std::string* error);
  bool installHardLink(const Member& member, int parent, const std::string& name,
                       std::string* error);
  // Moves the finished temporary entry onto `name`, honouring replaceFiles.
  bool publish(int parent, const std::string& temporary, const std::string& name,
               std::string* error);
  std::string temporaryName();

  RootDir& root_;
  ExtractOptions options_;
  std::unique_ptr<char[]> buffer_;
  PendingDirectories directories_;
  const mode_t umask_;
  const std::string pid_;  // in temporary names
  unsigned long temporaryCounter_ = 0;
};

}  // namespace libinstall
