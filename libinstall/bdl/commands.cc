#include "commands.h"

#include <libinstall/repo.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "inspect.h"
#include "message_text.h"
#include "pack.h"
#include "package_metadata.h"

namespace bdl {

const cli::Program kProgram = {
    "bdl",
    "usage: bdl pack --name N [--version V] [--description D] [--depends a,b] DIR OUT.bdl\n"
    "       bdl info FILE\n"
    "       bdl list FILE\n"
    "       bdl verify FILE\n"
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

int runPack(const std::vector<std::string>& args, std::ostream& err) {
  libinstall::PackageMetadata metadata;
  bool haveName = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool option = arg == "--name" || arg == "--version" || arg == "--description" ||
                  arg == "--depends";
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
    } else {
      splitList(value, &metadata.depends);
    }
  }
  if (!haveName) return usage(err, "pack needs --name");
  if (positional.size() != 2) return usage(err, "pack needs a directory and an output file");
  std::string error;
  if (!packTree(positional[0], positional[1], metadata, &error)) {
    err << "bdl: " << error << "\n";
    return kExitFailed;
  }
  return kExitOk;
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
  if (command == "extract") return runExtract(args, err);
  if (command != "info" && command != "list" && command != "verify") {
    return usage(err, "unknown command " + command);
  }
  if (args.size() != 1) return usage(err, command + " needs one package file");
  std::string error;
  bool ok = command == "info"   ? showInfo(args[0], out, &error)
            : command == "list" ? listMembers(args[0], out, &error)
                                : verifyPackage(args[0], out, &error);
  if (!ok) {
    // Errors name members: their bytes must not reach the terminal raw.
    err << "bdl: " << libinstall::printableLine(args[0] + ": " + error) << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace bdl
