// Packages built to cost the installer memory and time: one deep directory
// repeated many times, members alternating between two deep directories,
// members behind a chain of symbolic links with long targets. Each is
// streamed through the installer child into a tmpfs root; the bench prints
// the package's size, the child's exit code, its time and its peak memory,
// and the time `tar -xzf` takes for the same package (negative: tar failed),
// and for a package that installs the ratio of the two (target: at most 2).
// The first three cases are refused by the library's limits; the "limit"
// cases sit just inside them and show what a package can cost at most.
// The first line says how member ways are looked up on this machine.
//
// Runs only inside the test sandbox (it mounts a tmpfs and installs as root):
//   make bench-hostile            (all cases)
//   make bench-hostile CASES="alternate-1000 chain-40"
// The command line follows cli/command_line.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "child_run.h"
#include "cli/command_line.h"
#include "gzip_stream.h"
#include "kernel_lookup.h"
#include "package_builder.h"
#include "package_metadata.h"

namespace {

const cli::Program kProgram = {
    "hostile_package_bench",
    "usage: hostile_package_bench [CASE...]   (inside the test sandbox; all cases without one)\n"
    "  cases: repeat-1000 alternate-1000 chain-40 repeat-limit alternate-limit chain-limit\n"
    "         chain-entries dirs-limit\n"};

using libinstall::Member;
using libinstall::MemberType;

// Counts what passes into the gzip stream: the size of the tar stream.
class CountingSink : public libinstall::ByteSink {
 public:
  explicit CountingSink(libinstall::ByteSink& next) : next_(next) {}
  bool write(const char* data, size_t size) override {
    bytes += size;
    return next_.write(data, size);
  }
  const std::string& error() const override { return next_.error(); }
  unsigned long long bytes = 0;

 private:
  libinstall::ByteSink& next_;
};

// Streams a package to a file member by member (nothing held in memory).
class PackageWriter {
 public:
  explicit PackageWriter(const std::string& path)
      : out_(path, std::ios::binary | std::ios::trunc), gzip_(out_), counter_(gzip_),
        archive_(counter_) {
    libinstall::PackageMetadata metadata = package_testing::metadataNamed("hostile");
    std::string text = libinstall::formatMetadata(metadata);
    add(member(libinstall::kMetadataMember, MemberType::Regular, text.size()), text);
  }
  void directory(const std::string& path) { add(member(path, MemberType::Directory, 0), ""); }
  void file(const std::string& path) { add(member(path, MemberType::Regular, 0), ""); }
  void symlink(const std::string& path, const std::string& target) {
    Member m = member(path, MemberType::Symlink, 0);
    m.linkTarget = target;
    add(m, "");
  }
  bool finish() { return ok_ && archive_.finish() && gzip_.finish() && out_.good(); }
  unsigned long long tarBytes() const { return counter_.bytes; }
  unsigned long members = 0;

 private:
  static Member member(const std::string& path, MemberType type, size_t size) {
    Member m;
    m.path = path;
    m.type = type;
    m.mode = type == MemberType::Directory ? 0755 : 0644;
    m.size = size;
    m.mtimeSeconds = 1700000000;
    return m;
  }
  void add(const Member& m, const std::string& data) {
    ok_ = ok_ && archive_.beginMember(m) && archive_.writeData(data.data(), data.size()) &&
          archive_.endMember();
    ++members;
  }

  std::ofstream out_;
  libinstall::GzipWriter gzip_;
  CountingSink counter_;
  libinstall::ArchiveWriter archive_;
  bool ok_ = true;
};

std::string deepPath(const std::string& name, int levels) {
  std::string path = name;
  for (int i = 1; i < levels; ++i) path += "/" + name;
  return path;
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// One directory `levels` deep, given `times` times.
void repeatDirectory(PackageWriter& w, int levels, int times) {
  std::string path = deepPath("d", levels);
  for (int i = 0; i < times; ++i) w.directory(path);
}

// Empty files alternating between two directories `levels` deep, so that no
// member finds its directory where the one before left off.
void alternate(PackageWriter& w, int levels, int files) {
  std::string a = deepPath("a", levels), b = deepPath("b", levels);
  for (int i = 0; i < files; ++i) w.file((i % 2 ? b : a) + "/f" + std::to_string(i));
}

// L0 -> d, Ln -> `padding` then L(n-1); empty files alternate between the
// chain's last link and the plain directory e.
void linkChain(PackageWriter& w, int links, const std::string& padding, int files) {
  w.directory("d");
  w.directory("e");
  w.symlink("L0", "d");
  for (int i = 1; i < links; ++i) w.symlink("L" + std::to_string(i), padding + "L" + std::to_string(i - 1));
  std::string last = "L" + std::to_string(links - 1);
  for (int i = 0; i < files; ++i) w.file((i % 2 ? "e" : last) + "/f" + std::to_string(i));
}

// The chain of linkChain, entered through `entries` links of their own
// (Y0..Yn -> the chain's last link but one), empty files going through them
// in turn: more ways through links than the library remembers.
void linkChainEntries(PackageWriter& w, int links, const std::string& padding, int entries,
                      int files) {
  linkChain(w, links, padding, 0);
  std::string last = "L" + std::to_string(links - 2);
  for (int i = 0; i < entries; ++i) w.symlink("Y" + std::to_string(i), last);
  for (int i = 0; i < files; ++i) w.file("Y" + std::to_string(i % entries) + "/f" + std::to_string(i));
}

// The cases sit at the limits of package_limits.h, written out here so that
// the same packages can be measured against older versions of the library.
constexpr int kDepthLimit = 128;
constexpr size_t kDirectoryMemory = 4 * 1024 * 1024;  // 128 bytes per directory and its path
constexpr size_t kDirectoryEntryCost = 128;

// As many distinct directories with 50-byte paths as the limit lets in.
void manyDirectories(PackageWriter& w) {
  const size_t pathLength = 50;
  size_t count = kDirectoryMemory / (pathLength + kDirectoryEntryCost);
  for (size_t i = 0; i < count; ++i) {
    std::string number = std::to_string(i);
    w.directory(std::string(pathLength - number.size(), 'd') + number);
  }
}

struct Case {
  const char* name;
  const char* what;
  std::function<void(PackageWriter&)> build;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"repeat-1000", "one 1000-level directory given 50,000 times",
       [](PackageWriter& w) { repeatDirectory(w, 1000, 50000); }},
      {"alternate-1000", "files alternating between two 1000-level directories",
       [](PackageWriter& w) { alternate(w, 1000, 12000); }},
      {"chain-40", "files behind 40 chained links with 4000-byte targets",
       [](PackageWriter& w) { linkChain(w, 40, repeated("d/../", 800), 2000); }},
      {"repeat-limit", "one 128-level directory given 50,000 times",
       [](PackageWriter& w) { repeatDirectory(w, kDepthLimit, 50000); }},
      {"alternate-limit", "files alternating between two 127-level directories",
       [](PackageWriter& w) { alternate(w, kDepthLimit - 1, 100000); }},
      {"chain-limit", "files behind 40 chained links of 235 target components in all",
       [](PackageWriter& w) { linkChain(w, 40, repeated("./", 5), 100000); }},
      {"chain-entries", "files through 100 links into one chain of 40 links (235 components)",
       [](PackageWriter& w) { linkChainEntries(w, 40, repeated("./", 5), 100, 100000); }},
      {"dirs-limit", "as many distinct directories as the limit lets in",
       [](PackageWriter& w) { manyDirectories(w); }},
  };
  return all;
}

bool inSandbox() {
  return getenv("KORVANEL_SCRATCH") != nullptr &&
         package_testing::readFile("/proc/1/cmdline").find("sandbox-inner") != std::string::npos;
}

// Seconds `tar -xzf` takes for the package (negative when tar fails).
double extractWithTar(const std::string& package, const std::string& root) {
  double start = benchNow();
  pid_t pid = fork();
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) dup2(quiet, 2);  // tar complains about each member it cannot place
    execlp("tar", "tar", "-xzf", package.c_str(), "-C", root.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  double seconds = benchNow() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -seconds;
}

unsigned long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  std::vector<std::string> wanted(argv + 1, argv + argc);
  for (const std::string& name : wanted) {
    auto known = [&name](const Case& c) { return name == c.name; };
    if (std::none_of(cases().begin(), cases().end(), known)) {
      return cli::usageError(kProgram, "unknown case " + name);
    }
  }
  if (!inSandbox()) {
    fprintf(stderr, "hostile_package_bench: runs only inside the test sandbox\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);  // as the installation process has it
  const std::string work = std::string(getenv("KORVANEL_SCRATCH")) + "/bench";
  mkdir(work.c_str(), 0755);
  if (mount("tmpfs", work.c_str(), "tmpfs", 0, "size=3g,mode=755") != 0) {
    perror("mount tmpfs");
    return 1;
  }
  printf("way lookup: %s\n", libinstall::kernelLookupAvailable()
                                 ? "openat2 for ways without links, the walk for the others"
                                 : "the walk for every way (no openat2 here)");
  printf("%-16s %9s %10s %7s %4s %8s %9s %8s %7s  %s\n", "case", "package", "tar size",
         "members", "exit", "seconds", "peak KiB", "tar -x s", "ratio", "what");
  for (const Case& c : cases()) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), c.name) == wanted.end()) {
      continue;
    }
    const std::string package = work + "/" + c.name + ".bdl";
    const std::string root = work + "/root";
    PackageWriter writer(package);
    c.build(writer);
    if (!writer.finish()) {
      fprintf(stderr, "hostile_package_bench: could not write %s\n", package.c_str());
      return 1;
    }
    package_testing::removeTree(root);
    mkdir(root.c_str(), 0755);
    fflush(stdout);
    ChildRun run = installThroughChild(package, root);
    int code = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
    package_testing::removeTree(root);
    mkdir(root.c_str(), 0755);
    double tarSeconds = extractWithTar(package, root);
    // Only an installed package has a cost to compare with tar's.
    char ratio[16] = "-";
    if (code == 0 && tarSeconds > 0) snprintf(ratio, sizeof ratio, "%.2f", run.seconds / tarSeconds);
    printf("%-16s %9llu %10llu %7lu %4d %8.2f %9ld %8.2f %7s  %s\n", c.name, fileSize(package),
           writer.tarBytes(), writer.members, code, run.seconds, run.peakKiB, tarSeconds, ratio,
           c.what);
    fflush(stdout);
    package_testing::removeTree(root);
    unlink(package.c_str());
  }
  (void)umount2(work.c_str(), MNT_DETACH);  // the sandbox ends anyway
  return 0;
}
