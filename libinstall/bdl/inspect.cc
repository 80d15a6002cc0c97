#include "inspect.h"

#include <ctime>
#include <fstream>
#include <ostream>
#include <set>
#include <vector>

#include "archive_reader.h"
#include "member_path.h"
#include "message_text.h"
#include "package_input.h"
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

std::string signerText(const libinstall::PackageInput& input) {
  return input.isSigned() ? "key " + input.signer().id() : "nobody (unsigned package)";
}

// Walks the whole package, calling `visit` for every member after the
// metadata and reading each member's data to its end. A signed package is
// checked against its signature (and `key`, when given) on the way.
template <typename Visit>
bool walkPackage(const std::string& path, const PackageKey* key,
                 libinstall::PackageMetadata* metadata, unsigned long long* dataBytes,
                 std::string* signer, Visit visit, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open";
    return false;
  }
  libinstall::PackageInput input(in);
  if (!input.open(key, /*checkChunks=*/true, error)) return false;
  *signer = signerText(input);
  libinstall::ArchiveReader& reader = input.archive();
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
  return input.finish(error);
}

}  // namespace

bool showInfo(const std::string& path, std::ostream& out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open";
    return false;
  }
  // The head only, as the installer's package menu reads it.
  libinstall::PackageInput input(in);
  libinstall::PackageMetadata metadata;
  if (!input.open(/*requiredKey=*/nullptr, /*checkChunks=*/false, error) ||
      !libinstall::readMetadataMember(input.archive(), &metadata, error)) {
    return false;
  }
  out << "name: " << metadata.name << "\n"
      << "version: " << metadata.version << "\n"
      << "description: " << metadata.description << "\n"
      << "depends: ";
  for (size_t i = 0; i < metadata.depends.size(); ++i) {
    out << (i ? ", " : "") << metadata.depends[i];
  }
  out << "\nsigned-by: " << signerText(input) << "\n";
  return true;
}

bool listMembers(const std::string& path, std::ostream& out, std::string* error) {
  libinstall::PackageMetadata metadata;
  unsigned long long bytes = 0;
  std::string signer;
  return walkPackage(
      path, /*key=*/nullptr, &metadata, &bytes, &signer,
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

bool verifyPackage(const std::string& path, const PackageKey* key, std::ostream& out,
                   std::string* error) {
  libinstall::PackageMetadata metadata;
  unsigned long long bytes = 0;
  unsigned long members = 0;
  std::string signer;
  std::set<std::string> regularFiles;
  bool ok = walkPackage(
      path, key, &metadata, &bytes, &signer,
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
      << metadata.version << ", " << members << " members, " << bytes << " bytes, signed by "
      << signer;
  if (key == nullptr && signer.compare(0, 4, "key ") == 0) out << " (no --pubkey to trust it)";
  out << "\n";
  return true;
}

}  // namespace bdl
