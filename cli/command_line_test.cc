// Every program we ship and every script users run answers --help,
// --version and a usage error alike (cli/command_line.h): one table, host and
// i386 builds. Runs in the sandbox: a program that misread its command line
// could otherwise start work on this machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "output_capture.h"
#include "scratch_directory.h"

namespace {

struct Program {
  std::string name;  // what the program calls itself
  std::string path;
};

const std::vector<Program> kPrograms = {
    {"bdl", KORVANEL_BINARY_DIR "/bin/bdl"},
    {"sfdisk", KORVANEL_BINARY_DIR "/bin/sfdisk"},
    {"netinstall-server", KORVANEL_BINARY_DIR "/bin/netinstall-server"},
    {"netinstall-fetch", KORVANEL_BINARY_DIR "/bin/netinstall-fetch"},
    {"netinstall-crowd", KORVANEL_BINARY_DIR "/bin/netinstall-crowd"},
    {"netboot-init", KORVANEL_BINARY_DIR "/bin/netboot-init"},
    {"report-up", KORVANEL_BINARY_DIR "/bin/report-up"},
    {"hostile_package_bench", KORVANEL_BINARY_DIR "/bin/hostile_package_bench"},
    {"bdl", KORVANEL_I386_DIR "/bin/bdl"},
    {"sfdisk", KORVANEL_I386_DIR "/bin/sfdisk"},
    {"netinstall-server", KORVANEL_I386_DIR "/bin/netinstall-server"},
    {"netboot-init", KORVANEL_I386_DIR "/bin/netboot-init"},
    {"report-up", KORVANEL_I386_DIR "/bin/report-up"},
    {"install-deps.sh", KORVANEL_SOURCE_DIR "/scripts/install-deps.sh"},
    {"enable-i386.sh", KORVANEL_SOURCE_DIR "/scripts/enable-i386.sh"},
    {"fetch-kernel.sh", KORVANEL_SOURCE_DIR "/scripts/fetch-kernel.sh"},
    {"fetch-i386-packages.sh", KORVANEL_SOURCE_DIR "/scripts/fetch-i386-packages.sh"},
    {"sandbox", KORVANEL_SOURCE_DIR "/tests/sandbox/sandbox"},
    {"run_machine.py", KORVANEL_SOURCE_DIR "/tests/e2e/run_machine.py"},
    {"demo.py", KORVANEL_SOURCE_DIR "/tests/e2e/demo.py"},
    {"net_throughput.py", KORVANEL_SOURCE_DIR "/bench/net_throughput.py"},
    {"net_scale.py", KORVANEL_SOURCE_DIR "/bench/net_scale.py"},
    {"build-media", KORVANEL_SOURCE_DIR "/media/build-media"},
    {"serve-lab", KORVANEL_SOURCE_DIR "/media/serve-lab"},
    {"stage-boot-inputs.py", KORVANEL_SOURCE_DIR "/scripts/stage-boot-inputs.py"},
    {"media_sizes.py", KORVANEL_SOURCE_DIR "/bench/media_sizes.py"},
    {"installation_times.py", KORVANEL_SOURCE_DIR "/bench/installation_times.py"},
    {"run_fuzz.py", KORVANEL_SOURCE_DIR "/fuzz/run_fuzz.py"},
    {"make_corpus.py", KORVANEL_SOURCE_DIR "/fuzz/make_corpus.py"},
    {"fuzz_seeds", KORVANEL_BINARY_DIR "/bin/fuzz_seeds"},
};

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

std::string version() {
  std::ifstream file(KORVANEL_SOURCE_DIR "/VERSION");
  std::string line;
  std::getline(file, line);
  return line;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(CommandLine, EveryProgramAnswersHelpVersionAndUsageErrorsAlike) {
  ASSERT_FALSE(version().empty());
  ScratchDirectory scratch;
  auto run = [&](const Program& program, const std::string& argument) {
    Outcome outcome;
    outcome.out = shell(program.path + " " + argument + " 2>" + scratch / "err </dev/null",
                        &outcome.exitCode);
    std::ifstream err(scratch / "err");
    std::stringstream text;
    text << err.rdbuf();
    outcome.err = text.str();
    return outcome;
  };
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.path);
    if (access(program.path.c_str(), X_OK) != 0) {
      ADD_FAILURE() << "not built (make host i386)";
      continue;
    }
    Outcome help = run(program, "--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(startsWith(help.out, "usage: " + program.name)) << help.out;
    EXPECT_EQ(help.err, "");

    Outcome shown = run(program, "--version");
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_EQ(shown.out, program.name + " " + version() + "\n");
    EXPECT_EQ(shown.err, "");

    Outcome wrong = run(program, "--no-such-option");
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find(program.name + ": "), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("usage: " + program.name), std::string::npos) << wrong.err;
  }
}

}  // namespace
