#include "commands.h"

#include <libinstall/release_list.h>
#include <libinstall/repo.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "inspect.h"
#include "message_text.h"
#include "pack.h"
#include "package_metadata.h"
#include "release.h"
#include "sign.h"
#include "text_fields.h"

namespace bdl {

const cli::Program kProgram = {
    "bdl",
    "usage: bdl pack --name N [--version V] [--description D] [--depends a,b]\n"
    "                [--owner UID:GID] [--mtime SECONDS] DIR OUT.bdl\n"
    "       bdl info FILE\n"
    "       bdl list FILE\n"
    "       bdl verify [--pubkey PUBFILE] FILE\n"
    "       bdl verify --pubkey PUBFILE --release LIST [--machine MAC FILE]... [FILE...]\n"
    "       bdl keygen KEYFILE\n"
    "       bdl sign --key KEYFILE FILE\n"
    "       bdl release --key KEYFILE --number N [--expires DAYS] [--product P] [--driver FILE]...\n"
    "                   [--machine MAC FILE]... OUT FILE...\n"
    "       bdl extract FILE DIR\n"};

namespace {

void splitList(const std::string& text, std::vector<std::string>* out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) out->push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

int usage(std::ostream& err, const std::string& problem) {
  err << cli::usageErrorText(kProgram, problem);
  return kExitUsage;
}

// A whole decimal number no larger than `most`.
bool parseNumber(const std::string& text, uint64_t most, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > most) return false;
  *value = number;
  return true;
}

// --owner UID:GID and --mtime SECONDS: what every member records instead of
// the build host's owners and times.
bool parseOverride(const std::string& option, const std::string& value, PackOverrides* overrides) {
  uint64_t first = 0, second = 0;
  if (option == "--mtime") {
    if (!parseNumber(value, 077777777777, &first)) return false;
    overrides->setTime = true;
    overrides->seconds = static_cast<int64_t>(first);
    return true;
  }
  size_t colon = value.find(':');
  if (colon == std::string::npos || !parseNumber(value.substr(0, colon), 07777777, &first) ||
      !parseNumber(value.substr(colon + 1), 07777777, &second)) {
    return false;
  }
  overrides->setOwner = true;
  overrides->uid = static_cast<uint32_t>(first);
  overrides->gid = static_cast<uint32_t>(second);
  return true;
}

int runPack(const std::vector<std::string>& args, std::ostream& err) {
  libinstall::PackageMetadata metadata;
  PackOverrides overrides;
  bool haveName = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool option = arg == "--name" || arg == "--version" || arg == "--description" ||
                  arg == "--depends" || arg == "--owner" || arg == "--mtime";
    if (!option) {
      if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) return usage(err, "unknown option " + arg);
      positional.push_back(arg);
      continue;
    }
    if (i + 1 == args.size()) return usage(err, arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--name") {
      metadata.name = value;
      haveName = true;
    } else if (arg == "--version") {
      metadata.version = value;
    } else if (arg == "--description") {
      metadata.description = value;
    } else if (arg == "--owner" || arg == "--mtime") {
      if (!parseOverride(arg, value, &overrides)) {
        return usage(err, arg == "--owner" ? "--owner needs UID:GID (numbers), not " + value
                                           : "--mtime needs seconds since 1970, not " + value);
      }
    } else {
      splitList(value, &metadata.depends);
    }
  }
  if (!haveName) return usage(err, "pack needs --name");
  if (positional.size() != 2) return usage(err, "pack needs a directory and an output file");
  std::string error;
  if (!packTree(positional[0], positional[1], metadata, &error, overrides)) {
    err << "bdl: " << error << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

// Splits `args` into the value of `option` (which must come with one) and
// the rest. Returns 0, or the usage error's exit code after reporting it.
// With `otherOptionsFollow` the rest may still hold options taken later.
int takeOption(std::vector<std::string>* args, const std::string& option, std::string* value,
               std::ostream& err, bool otherOptionsFollow = false) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != option) continue;
    if (i + 1 == args->size()) return usage(err, option + " needs a file");
    if (!value->empty()) return usage(err, option + " given twice");
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    --i;
  }
  if (otherOptionsFollow) return 0;
  for (const std::string& arg : *args) {
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) return usage(err, "unknown option " + arg);
  }
  return 0;
}

int failed(std::ostream& err, const std::string& error) {
  err << "bdl: " << libinstall::printableLine(error) << "\n";
  return kExitFailed;
}

int runKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) return usage(err, "keygen needs one key file");
  std::string error;
  return generateKeys(args[0], out, &error) ? kExitOk : failed(err, error);
}

int runSign(std::vector<std::string> args, std::ostream& err) {
  std::string keyFile;
  if (int rc = takeOption(&args, "--key", &keyFile, err)) return rc;
  if (keyFile.empty()) return usage(err, "sign needs --key");
  if (args.size() != 1) return usage(err, "sign needs one package file");
  std::string error;
  return signPackage(keyFile, args[0], &error) ? kExitOk : failed(err, error);
}

// Takes every "--machine MAC FILE" out of `args` into `machineFiles`.
// Non-zero: the exit status of a usage error, already printed.
int takeMachineFiles(std::vector<std::string>* args,
                     std::vector<std::pair<std::string, std::string>>* machineFiles,
                     std::ostream& err) {
  std::vector<std::string> rest;
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--machine") {
      rest.push_back((*args)[i]);
      continue;
    }
    if (i + 2 >= args->size()) return usage(err, "--machine needs a hardware address and a file");
    std::string machine;
    if (!releaseMachineFrom((*args)[i + 1], &machine)) {
      return usage(err, "--machine needs a hardware address (aa:bb:cc:dd:ee:ff), not " +
                            (*args)[i + 1]);
    }
    machineFiles->emplace_back(machine, (*args)[i + 2]);
    i += 2;
  }
  *args = rest;
  return 0;
}

// SOURCE_DATE_EPOCH, when set, is the list's creation time: the same inputs
// then make the same list (reproducible-builds.org). -1 when unset; false
// when it is no time.
bool creationTime(int64_t* created) {
  const char* text = getenv("SOURCE_DATE_EPOCH");
  *created = -1;
  if (text == nullptr) return true;
  uint64_t seconds = 0;
  if (!parseNumber(text, static_cast<uint64_t>(INT64_MAX) / 2, &seconds)) return false;
  *created = static_cast<int64_t>(seconds);
  return true;
}

int runVerify(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
  std::string keyFile;
  std::string listFile;
  std::vector<std::pair<std::string, std::string>> machineFiles;
  if (int rc = takeMachineFiles(&args, &machineFiles, err)) return rc;
  if (int rc = takeOption(&args, "--release", &listFile, err, /*otherOptionsFollow=*/true)) return rc;
  if (int rc = takeOption(&args, "--pubkey", &keyFile, err)) return rc;
  if (!listFile.empty()) {
    if (keyFile.empty()) return usage(err, "verify --release needs --pubkey");
    std::string error;
    return verifyAgainstRelease(keyFile, listFile, args, machineFiles, out, &error)
               ? kExitOk
               : failed(err, error);
  }
  if (!machineFiles.empty()) return usage(err, "--machine belongs to verify --release");
  if (args.size() != 1) return usage(err, "verify needs one package file");
  PackageKey key;
  std::string error;
  if (!keyFile.empty() && !key.load(keyFile, &error)) return failed(err, error);
  if (!verifyPackage(args[0], keyFile.empty() ? nullptr : &key, out, &error)) {
    return failed(err, args[0] + ": " + error);
  }
  return kExitOk;
}

int runRelease(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
  ReleaseRequest request;
  if (int rc = takeMachineFiles(&args, &request.machineFiles, err)) return rc;
  if (!creationTime(&request.created)) {
    return failed(err, "SOURCE_DATE_EPOCH must be seconds since 1970");
  }
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool option = arg == "--key" || arg == "--number" || arg == "--expires" ||
                  arg == "--product" || arg == "--driver";
    if (!option) {
      if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) return usage(err, "unknown option " + arg);
      rest.push_back(arg);
      continue;
    }
    if (i + 1 == args.size()) return usage(err, arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--key") {
      request.keyFile = value;
    } else if (arg == "--number") {
      if (!libinstall::parseDecimal(value, &request.number)) {
        return usage(err, "--number needs a whole number");
      }
    } else if (arg == "--expires") {
      // Days past about 10^8 would leave the years a time can be written in.
      if (!libinstall::parseDecimal(value, &request.expiresDays) ||
          request.expiresDays > 100000000) {
        return usage(err, "--expires needs a number of days");
      }
    } else if (arg == "--product") {
      request.product = value;
    } else {
      request.drivers.push_back(value);
    }
  }
  if (request.keyFile.empty()) return usage(err, "release needs --key");
  if (std::find(args.begin(), args.end(), "--number") == args.end()) {
    return usage(err, "release needs --number");
  }
  if (request.product.empty() || request.product.size() > kMaxReleaseProduct ||
      std::any_of(request.product.begin(), request.product.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F ||
                                      static_cast<unsigned char>(c) > 0x7F; })) {
    return usage(err, "--product needs 1 to 64 printable characters");
  }
  if (rest.empty()) return usage(err, "release needs an output file");
  request.output = rest[0];
  request.files.assign(rest.begin() + 1, rest.end());
  if (request.files.empty() && request.drivers.empty() && request.machineFiles.empty()) {
    return usage(err, "release needs files to list");
  }
  std::string error;
  return makeReleaseList(request, out, &error) ? kExitOk : failed(err, error);
}

// Installs FILE into DIR as the installer's package child installs into the
// new system: the library's own walks, refusals and record, its one line
// when it refuses, and the child's exit codes.
int runExtract(const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() != 2) return usage(err, "extract needs a package file and a directory");
  std::ifstream package(args[0], std::ios::binary);
  if (!package) {
    err << "bdl: " << args[0] << ": " << strerror(errno) << "\n";
    return kExitFailed;
  }
  Repo* repo = Repo::getRepo();
  std::string error;
  if (!repo->initAt(args[1], /*runningSystem=*/false, &error)) {
    err << "bdl: cannot install into " << error << "\n";
    return kExitNoRoot;
  }
  std::map<std::string, bool> installed;
  return repo->installFrom(package, Repo::kReplaceFiles, installed) ? kExitOk : kExitFailed;
}

}  // namespace

int runBdl(int argc, char** argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) return usage(err, "no command");
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "pack") return runPack(args, err);
  if (command == "keygen") return runKeygen(args, out, err);
  if (command == "sign") return runSign(args, err);
  if (command == "release") return runRelease(args, out, err);
  if (command == "verify") return runVerify(args, out, err);
  if (command == "extract") return runExtract(args, err);
  if (command != "info" && command != "list") return usage(err, "unknown command " + command);
  if (args.size() != 1) return usage(err, command + " needs one package file");
  std::string error;
  bool ok = command == "info" ? showInfo(args[0], out, &error) : listMembers(args[0], out, &error);
  // Errors name members: their bytes must not reach the terminal raw.
  return ok ? kExitOk : failed(err, args[0] + ": " + error);
}

}  // namespace bdl
