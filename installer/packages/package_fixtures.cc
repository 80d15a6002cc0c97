#include "packages/package_fixtures.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

#include "package_builder.h"

std::string bdlTool() { return KORVANEL_BINARY_DIR "/bin/bdl"; }

std::string makeMedium(const std::string& directory, const std::vector<FixturePackage>& packages) {
  package_testing::TempDir trees;
  for (const FixturePackage& p : packages) {
    std::string tree = trees / p.name;
    mkdir(tree.c_str(), 0755);
    mkdir((tree + "/usr").c_str(), 0755);
    mkdir((tree + "/usr/share").c_str(), 0755);
    package_testing::writeFile(tree + "/usr/share/" + p.name, p.name + "\n");
    std::string depends;
    for (const std::string& d : p.depends) depends += (depends.empty() ? "" : ",") + d;
    std::string file = directory + "/" + (p.fileName.empty() ? p.name + ".bdl" : p.fileName);
    std::string command = bdlTool() + " pack --name '" + p.name + "' --description '" +
                          p.description + "'" + (depends.empty() ? "" : " --depends " + depends) +
                          " '" + tree + "' '" + file + "'";
    int status = system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "failed: " + command;
  }
  return "";
}
