#pragma once
// The metadata member that opens every package: a short text of "key: value"
// lines (format, name, version, description, one "depends" line per needed
// package, in order). Names become file names in the package database, so
// they are held to a safe alphabet.

#include <string>
#include <vector>

namespace libinstall {

// Path of the metadata member; it must be the archive's first member.
constexpr const char* kMetadataMember = ".bdlinfo";
constexpr const char* kFormatVersion = "1";
// Largest metadata member accepted.
constexpr size_t kMaxMetadataSize = 64 * 1024;
constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxDescriptionLength = 1024;

struct PackageMetadata {
  std::string name;
  std::string version;
  std::string description;
  std::vector<std::string> depends;
};

// 1 to 64 of letters, digits, '.', '_', '+', '-', starting with a letter or
// digit.
bool isValidPackageName(const std::string& name);
// Up to 64 of letters, digits, '.', '_', '+', '-', '~', ':'; may be empty.
bool isValidVersion(const std::string& version);
// One line of at most 1024 bytes without control characters.
bool isValidDescription(const std::string& description);

// Parses and checks the metadata text. Unknown keys are ignored, so later
// formats can add some. False with *error for a text that is not version 1
// metadata or holds invalid values.
bool parseMetadata(const std::string& text, PackageMetadata* metadata, std::string* error);

// The metadata text for `metadata`, which must hold valid values.
std::string formatMetadata(const PackageMetadata& metadata);

// Checks every value; false with *error naming the first bad one.
bool validateMetadata(const PackageMetadata& metadata, std::string* error);

}  // namespace libinstall
