#include "inspect.h"

#include <ctime>
#include <fstream>
#include <ostream>
#include <set>
#include <vector>

#include "archive_reader.h"
#include "gzip_stream.h"
#include "libinstall/package_info.h"
#include "member_path.h"
#include "message_text.h"
#include "package_metadata.h"
#include "package_stream.h"

namespace bdl {
namespace {

using libinstall::Member;
using libinstall::MemberType;

std::string permissions(const Member& member) {
  static const char kTypeLetter[] = {'-', 'd', 'l', 'h'};
  std::string text(1, kTypeLetter[static_cast<int>(member.type)]);
  const char* letters = "rwxrwxrwx";
  for (int bit = 8; bit >= 0; --bit) text += (member.mode >> bit) & 1 ? letters[8 - bit] : '-';
  if (member.mode & 04000) text[3] = text[3] == 'x' ? 's' : 'S';
  if (member.mode & 02000) text[6] = text[6] == 'x' ? 's' : 'S';
  if (member.mode & 01000) text[9] = text[9] == 'x' ? 't' : 'T';
  return text;
}

std::string utcTime(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  char text[32];
  if (gmtime_r(&t, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

// Walks the whole package, calling `visit` for every member after the
// metadata and reading each member's data to its end.
template <typename Visit>
bool walkPackage(const std::string& path, libinstall::PackageMetadata* metadata,
                 unsigned long long* dataBytes, Visit visit, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open";
    return false;
  }
  libinstall::GzipReader gzip(in);
  libinstall::ArchiveReader reader(gzip);
  if (!libinstall::readMetadataMember(reader, metadata, error)) return false;
  std::vector<char> buffer(64 * 1024);
  Member member;
  for (;;) {
    int rc = reader.next(&member);
    if (rc < 0) {
      *error = reader.error();
      return false;
    }
    if (rc == 0) break;
    if (!visit(member, error)) return false;
    for (;;) {
      long n = reader.readData(buffer.data(), buffer.size());
      if (n < 0) {
        *error = reader.error();
        return false;
      }
      if (n == 0) break;
      *dataBytes += static_cast<unsigned long long>(n);
    }
  }
  if (!reader.drain()) {
    *error = reader.error();
    return false;
  }
  if (!gzip.finish()) {
    *error = gzip.error();
    return false;
  }
  return true;
}

}  // namespace

bool showInfo(const std::string& path, std::ostream& out, std::string* error) {
  PackageFile package;
  if (!package.readFrom(path)) {
    *error = "not a readable package";
    return false;
  }
  out << "name: " << package.name << "\n"
      << "version: " << package.version << "\n"
      << "description: " << package.description << "\n"
      << "depends: ";
  for (size_t i = 0; i < package.dependencies.size(); ++i) {
    out << (i ? ", " : "") << package.dependencies[i].name;
  }
  out << "\n";
  return true;
}

bool listMembers(const std::string& path, std::ostream& out, std::string* error) {
  libinstall::PackageMetadata metadata;
  unsigned long long bytes = 0;
  return walkPackage(
      path, &metadata, &bytes,
      [&out](const Member& m, std::string*) {
        out << permissions(m) << " " << m.uid << "/" << m.gid << " " << m.size << " "
            << utcTime(m.mtimeSeconds) << " " << m.path;
        if (m.type == MemberType::Symlink) out << " -> " << m.linkTarget;
        if (m.type == MemberType::HardLink) out << " link to " << m.linkTarget;
        out << "\n";
        return true;
      },
      error);
}

bool verifyPackage(const std::string& path, std::ostream& out, std::string* error) {
  libinstall::PackageMetadata metadata;
  unsigned long long bytes = 0;
  unsigned long members = 0;
  std::set<std::string> regularFiles;
  bool ok = walkPackage(
      path, &metadata, &bytes,
      [&](const Member& m, std::string* why) {
        ++members;
        std::vector<std::string> parts;
        std::string reason;
        if (!libinstall::splitInstallablePath(m.path, &parts, &reason)) {
          *why = "member " + libinstall::quotedName(m.path) + ": " + reason;
          return false;
        }
        std::string joined = libinstall::joinedPath(parts);
        if (m.type == MemberType::Regular) regularFiles.insert(joined);
        if (m.type == MemberType::Symlink && m.linkTarget.empty()) {
          *why = "member " + libinstall::quotedName(m.path) + ": empty symbolic link";
          return false;
        }
        if (m.type == MemberType::HardLink) {
          std::vector<std::string> target;
          if (!libinstall::splitMemberPath(m.linkTarget, &target, &reason) ||
              regularFiles.count(libinstall::joinedPath(target)) == 0) {
            *why = "member " + libinstall::quotedName(m.path) + ": hard link to " +
                   libinstall::quotedName(m.linkTarget) + ", which is no earlier file of the package";
            return false;
          }
        }
        return true;
      },
      error);
  if (!ok) return false;
  out << path << ": ok: " << metadata.name << (metadata.version.empty() ? "" : "-")
      << metadata.version << ", " << members << " members, " << bytes << " bytes\n";
  return true;
}

}  // namespace bdl
