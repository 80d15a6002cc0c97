#include "package_metadata.h"

#include <cctype>
#include <sstream>

namespace libinstall {
namespace {
bool isNameCharacter(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '+' || c == '-';
}
}  // namespace

bool isValidPackageName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (!isalnum(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!isNameCharacter(c)) return false;
  }
  return true;
}

bool isValidVersion(const std::string& version) {
  if (version.size() > kMaxNameLength) return false;
  for (char c : version) {
    if (!isNameCharacter(c) && c != '~' && c != ':') return false;
  }
  return true;
}

bool isValidDescription(const std::string& description) {
  if (description.size() > kMaxDescriptionLength) return false;
  for (char c : description) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool validateMetadata(const PackageMetadata& metadata, std::string* error) {
  if (!isValidPackageName(metadata.name)) {
    *error = "invalid package name \"" + metadata.name + "\"";
    return false;
  }
  if (!isValidVersion(metadata.version)) {
    *error = "invalid version \"" + metadata.version + "\"";
    return false;
  }
  if (!isValidDescription(metadata.description)) {
    *error = "invalid description (one line of at most 1024 bytes)";
    return false;
  }
  for (const std::string& dep : metadata.depends) {
    if (!isValidPackageName(dep)) {
      *error = "invalid dependency name \"" + dep + "\"";
      return false;
    }
  }
  return true;
}

bool parseMetadata(const std::string& text, PackageMetadata* metadata, std::string* error) {
  *metadata = PackageMetadata();
  bool haveFormat = false, haveName = false, haveVersion = false, haveDescription = false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      // "description:" with an empty value has no blank after the colon.
      if (line.back() != ':') {
        *error = "malformed metadata line \"" + line + "\"";
        return false;
      }
      colon = line.size() - 1;
    }
    std::string key = line.substr(0, colon);
    std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
    bool* seen = nullptr;
    if (key == "format") {
      if (value != kFormatVersion) {
        *error = "unsupported package format \"" + value + "\"";
        return false;
      }
      seen = &haveFormat;
    } else if (key == "name") {
      metadata->name = value;
      seen = &haveName;
    } else if (key == "version") {
      metadata->version = value;
      seen = &haveVersion;
    } else if (key == "description") {
      metadata->description = value;
      seen = &haveDescription;
    } else if (key == "depends") {
      metadata->depends.push_back(value);
    }
    if (seen != nullptr) {
      if (*seen) {
        *error = "metadata key \"" + key + "\" given twice";
        return false;
      }
      *seen = true;
    }
  }
  if (!haveFormat) {
    *error = "metadata without a format line";
    return false;
  }
  if (!haveName) {
    *error = "metadata without a package name";
    return false;
  }
  return validateMetadata(*metadata, error);
}

std::string formatMetadata(const PackageMetadata& metadata) {
  std::string text = std::string("format: ") + kFormatVersion + "\n";
  text += "name: " + metadata.name + "\n";
  if (!metadata.version.empty()) text += "version: " + metadata.version + "\n";
  if (!metadata.description.empty()) text += "description: " + metadata.description + "\n";
  for (const std::string& dep : metadata.depends) text += "depends: " + dep + "\n";
  return text;
}

}  // namespace libinstall
