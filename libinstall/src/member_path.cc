#include "member_path.h"

namespace libinstall {

bool splitMemberPath(const std::string& path, std::vector<std::string>* components,
                     std::string* reason) {
  components->clear();
  if (path.empty()) {
    *reason = "empty path";
    return false;
  }
  if (path.size() > kMaxPathLength) {
    *reason = "path longer than " + std::to_string(kMaxPathLength) + " bytes";
    return false;
  }
  if (path[0] == '/') {
    *reason = "absolute path";
    return false;
  }
  // The system reads a name only up to its first NUL byte: "..\0x" would be
  // taken for a name here and opened as "..".
  if (path.find('\0') != std::string::npos) {
    *reason = "path with a NUL byte";
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part == "..") {
      components->clear();
      *reason = "path with \"..\"";
      return false;
    }
    if (!part.empty() && part != ".") components->push_back(part);
    start = slash + 1;
  }
  if (components->size() > kMaxDepth) {
    components->clear();
    *reason = "path deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  return true;
}

std::string joinedPath(const std::vector<std::string>& components) {
  if (components.empty()) return "/";
  std::string path;
  for (const std::string& part : components) path += "/" + part;
  return path;
}

}  // namespace libinstall
