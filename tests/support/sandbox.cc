#include "sandbox.h"

#include <dirent.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
}

}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return children;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::istringstream list(readFile(tasks + "/" + entry->d_name + "/children"));
    pid_t child;
    while (list >> child) children.push_back(child);
  }
  closedir(dir);
  return children;
}

Sandbox::Sandbox() {
  char pattern[] = "/tmp/korvanel-sandbox.XXXXXX";
  scratch_ = mkdtemp(pattern);
  options.program = KORVANEL_BINARY_DIR "/bin/installer";
}

Sandbox::~Sandbox() {
  if (console_) {
    // Ends the launcher, unshare and (through unshare's --kill-child)
    // everything inside the namespaces.
    kill(-console_->pid(), SIGKILL);
    console_.reset();
  }
  std::string cleanup = std::string(KORVANEL_SANDBOX) + " --cleanup " + shellQuote(scratch_);
  (void)!system(cleanup.c_str());
}

void Sandbox::fakeTool(const std::string& path, const std::string& body) {
  std::string name = path.substr(path.rfind('/') + 1);
  std::string callDir = scratch_ + "/calls/" + name;
  std::string script =
      "#!/bin/sh\n"
      "dir=" + shellQuote(callDir) + "\n"
      "mkdir -p \"$dir\"\n"
      "n=0; while [ -e \"$dir/$n.argv\" ]; do n=$((n+1)); done\n"
      "printf '%s\\n' \"$0\" \"$@\" > \"$dir/$n.argv\"\n"
      "CALL_INPUT=$dir/$n.input; export CALL_INPUT\n"
      "cat > \"$CALL_INPUT\"\n" +
      body + "\n";
  std::string file = scratch_ + "/fake-" + name;
  writeFile(file, script, 0755);
  options.files.emplace_back(file, path);
}

std::vector<ToolCall> Sandbox::calls(const std::string& path) const {
  std::string dir = scratch_ + "/calls/" + path.substr(path.rfind('/') + 1);
  std::vector<ToolCall> result;
  for (int n = 0;; ++n) {
    std::string argvFile = dir + "/" + std::to_string(n) + ".argv";
    if (access(argvFile.c_str(), F_OK) != 0) break;
    ToolCall call;
    std::istringstream lines(readFile(argvFile));
    for (std::string line; std::getline(lines, line);) call.argv.push_back(line);
    call.input = readFile(dir + "/" + std::to_string(n) + ".input");
    result.push_back(std::move(call));
  }
  return result;
}

std::string Sandbox::scratchFile(const std::string& name, const std::string& content) {
  std::string path = scratch_ + "/" + name;
  writeFile(path, content, 0644);
  return path;
}

bool Sandbox::start() {
  std::vector<std::string> argv{KORVANEL_SANDBOX, "--scratch", scratch_};
  const std::string type = options.typeText.value_or("");
  bool networkMode = type.substr(0, type.find('\n')) == "net";
  if (networkMode && options.networkOf <= 0) options.network = true;
  if (options.networkOf > 0) {
    argv.push_back("--net-of");
    argv.push_back(std::to_string(options.networkOf));
  } else if (options.network) {
    argv.push_back("--net");
  }
  if (options.typeText) {
    argv.push_back("--type");
    argv.push_back(*options.typeText);
  }
  for (const auto& [source, inside] : options.files) {
    argv.push_back("--file");
    argv.push_back(source + ":" + inside);
  }
  for (const auto& [source, inside] : options.binds) {
    argv.push_back("--bind");
    argv.push_back(source + ":" + inside);
  }
  for (const std::string& dir : options.dirs) {
    argv.push_back("--dir");
    argv.push_back(dir);
  }
  for (const std::string& mountPoint : options.tmpfs) {
    argv.push_back("--tmpfs");
    argv.push_back(mountPoint);
  }
  for (const auto& [name, image] : options.disks) {
    argv.push_back("--disk");
    argv.push_back(name + ":" + image);
  }
  if (options.screenConsole) {
    argv.push_back("--screen-log");
    argv.push_back(scratchFile("tty9"));
  }
  if (options.detachedStdio) {
    argv.push_back("--stdio");
    argv.push_back(scratchFile("stdio"));
  }
  argv.push_back("--init");
  argv.push_back(options.argv0);
  argv.push_back("--");
  argv.push_back(options.program);
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  console_ = PtySession::startProgram(argv, PtySession::Options{});
  return console_ != nullptr;
}

int Sandbox::waitForEnd(double seconds) {
  int status = console_->wait(seconds);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Sandbox::rootPath(const std::string& inside) const { return scratch_ + "/root" + inside; }

std::string Sandbox::logConsole() const { return readFile(scratch_ + "/tty9"); }

std::string Sandbox::stdioOutput() const { return readFile(scratch_ + "/stdio"); }

pid_t Sandbox::initPid() const {
  // launcher -> unshare -> process 1 of the namespaces
  for (pid_t unshare : childrenOf(console_->pid())) {
    for (pid_t init : childrenOf(unshare)) return init;
  }
  return -1;
}
