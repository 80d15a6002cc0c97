// What the operator watches, during a run of scripted installers in network
// namespaces of the test's own: a real browser (Debian's chromium, headless)
// reads the status page, curl reads /status.json, and the events file is
// read back against the server's log.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "netinstall/client_run.h"
#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/net_test_support.h"
#include "output_capture.h"
#include "packages/package_fixtures.h"
#include "pty_session.h"

namespace {

constexpr const char* kHostileLabel = "<img src=x onerror=alert(1)>";
constexpr const char* kPage = "http://127.0.0.1:8080/";

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

ClientTiming quickTiming() {
  ClientTiming timing;
  timing.replyTimeoutUsec = 100000;
  timing.discoveryCycleUsec = 300000;
  timing.closingUsec = 100000;
  return timing;
}

class StatusPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
    alarm(600);
    hub = NetHub::create();
    ASSERT_TRUE(hub);
    server = station("srv0");
    ASSERT_TRUE(server);
    ASSERT_EQ(server->run({"ip", "link", "set", "lo", "up"}), 0);
  }
  void TearDown() override {
    for (pid_t pid : held) {
      kill(pid, SIGKILL);
      waitBounded(pid, 10);
    }
    alarm(0);
  }

  std::unique_ptr<NetNamespace> station(const std::string& card) {
    auto space = hub->station(card);
    EXPECT_TRUE(space);
    return space;
  }

  // A served root with one package and the drivers of this kernel.
  void makeRoot(const std::string& root) {
    FixturePackage base;
    base.name = "base";
    writeWholeFile(root + "/packages/.keep", "");
    ASSERT_EQ(makeMedium(root + "/packages", {base}), "");
    writeWholeFile(root + "/drivers/" + kernelRelease() + ".bdl", patternData(9000, 4));
  }

  // A whole installation with `label`: 0 when every file arrived.
  int install(NetNamespace& space, const char* label) {
    std::string directory = scratch / ("fetched-" + std::to_string(installs++));
    return exitCodeOf(waitBounded(space.start([directory, label] {
      TestConsole console;
      InstallClient client;
      return fetchEverything(client, quickTiming(), directory, /*drivers=*/true, label).empty()
                 ? 0
                 : 1;
    }),
                                  120));
  }

  // An installer that takes the offer, starts, and stops in the middle of
  // big.scr (it stays until the test ends).
  pid_t installUntilTheBigFile(NetNamespace& space, const char* label) {
    pid_t pid = space.start([label] {
      TestConsole console;
      InstallClient client;
      client.open();
      client.timing = quickTiming();
      char offer[512] = "";
      bool keep = false;
      captureStdout([&] {
        if (!client.findServer("", offer, label, offer, sizeof offer, keep)) return;
        if (!client.startInstallation()) return;
        char name[32];
        int mark = 0;
        while (client.nextFile(name, sizeof name, &mark) == NextFile::file) {
          if (std::string(name) != "big.scr") {
            (void)receiveToFile(client, "/dev/null");
            continue;
          }
          char block[4096];
          for (int i = 0; i < 100; ++i) (void)client.readFileData(block, sizeof block);
          break;
        }
      });
      pause();
      return 0;
    });
    held.push_back(pid);
    return pid;
  }

  // A station that only asks for the offer, once.
  void askOnly(NetNamespace& space, const char* label) {
    pid_t pid = space.start([label] {
      InstallClient client;
      client.open();
      client.timing = quickTiming();
      char offer[512] = "";
      bool keep = false;
      captureStdout([&] { client.discover("", offer, label, offer, sizeof offer, keep); });
      return 0;
    });
    EXPECT_EQ(exitCodeOf(waitBounded(pid, 60)), 0);
  }

  // What a program printed, run in the server's namespace.
  std::string output(const std::vector<std::string>& argv) {
    std::string printed;
    server->run(argv, &printed, 90);
    return printed;
  }

  nlohmann::json statusJson() {
    return nlohmann::json::parse(output({"curl", "-s", "-f", std::string(kPage) + "status.json"}),
                                 nullptr, /*allow_exceptions=*/false);
  }

  // The page after its script has run, as the browser holds it.
  std::string browserDom() {
    std::string profile = scratch / "chromium-profile";
    // Its complaints about the desktop it does not have stay out of the
    // test's output; its profile and home are the test's own.
    return output({"/usr/bin/env", "HOME=" + profile, "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null",
                   "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update",
                   "--disable-sync", "--user-data-dir=" + profile, "--virtual-time-budget=5000",
                   "--dump-dom", kPage});
  }

  std::unique_ptr<NetHub> hub;
  std::unique_ptr<NetNamespace> server;
  std::vector<pid_t> held;
  ScratchDirectory scratch;
  int installs = 0;
};

TEST_F(StatusPageTest, ABrowserSeesEveryMachineAndLabelsOnlyAsText) {
  std::string root = scratch / "root";
  ASSERT_NO_FATAL_FAILURE(makeRoot(root));
  writeWholeFile(root + "/scripts/autorun.scr", "hostname router\n");
  writeWholeFile(root + "/scripts/big.scr", patternData(8 << 20, 7));
  std::string events = scratch / "events.jsonl";
  ServerRun run(*server, "srv0", root, {"--status", "8080", "--events", events},
                scratch / "server.log");
  ASSERT_TRUE(run.waitForLog(" serving ", 10)) << run.log();
  EXPECT_NE(run.log().find(" status page: http://127.0.0.1:8080/\n"), std::string::npos)
      << run.log();
  EXPECT_NE(run.log().find(" packages: 1, none signed; scripts: 2; held scripts: 0\n"),
            std::string::npos)
      << run.log();

  // Idle connections that send nothing, as many as the page takes and more:
  // the installations go on regardless.
  std::vector<int> idle;
  {
    EnterNamespace inside(*server);
    for (int i = 0; i < 40; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(8080);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      (void)connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      idle.push_back(fd);
    }
  }
  auto doneMachine = station("card0");
  std::string doneMac = upper(doneMachine->macAddress("card0"));
  EXPECT_EQ(install(*doneMachine, "lab-done"), 0) << run.log();
  for (int fd : idle) close(fd);

  // A tree that cannot be listed fails the next start.
  writeWholeFile(root + "/packages/broken.bdl", "no package");
  auto failedMachine = station("card0");
  EXPECT_NE(install(*failedMachine, "lab-failed"), 0);
  ASSERT_EQ(unlink((root + "/packages/broken.bdl").c_str()), 0);

  auto hostileMachine = station("card0");
  installUntilTheBigFile(*hostileMachine, kHostileLabel);
  auto askingMachine = station("card0");
  askOnly(*askingMachine, "lab-asks\"'&");
  ASSERT_TRUE(run.waitForLog("sending big.scr", 60)) << run.log();

  // The JSON: every machine with its phase, the hostile label as it came.
  nlohmann::json status;
  std::map<std::string, nlohmann::json> byLabel;
  for (int i = 0; i < 50 && byLabel.size() < 4; ++i) {
    usleep(200000);
    status = statusJson();
    ASSERT_FALSE(status.is_discarded()) << "valid JSON";
    byLabel.clear();
    for (const auto& machine : status["machines"]) byLabel[machine["label"]] = machine;
  }
  ASSERT_EQ(byLabel.size(), 4u) << status.dump(2);
  EXPECT_EQ(byLabel["lab-done"]["phase"], "done");
  EXPECT_EQ(byLabel["lab-done"]["mac"], doneMac);
  EXPECT_EQ(byLabel["lab-failed"]["phase"], "failed");
  EXPECT_NE(byLabel["lab-failed"]["reason"].get<std::string>().find("broken.bdl"),
            std::string::npos);
  const nlohmann::json& hostile = byLabel[kHostileLabel];
  EXPECT_EQ(hostile["phase"], "installing");
  EXPECT_EQ(hostile["file"]["name"], "big.scr");
  EXPECT_EQ(hostile["file"]["index"], 3);
  EXPECT_EQ(hostile["file"]["count"], 3);
  EXPECT_GT(hostile["bytes_sent"].get<uint64_t>(), 100000u);
  EXPECT_EQ(byLabel["lab-asks\"'&"]["phase"], "offered");
  EXPECT_EQ(status["totals"]["done"], 1);
  EXPECT_EQ(status["totals"]["failed"], 1);
  EXPECT_EQ(status["totals"]["installing"], 1);

  // The browser: a row per machine, the labels as text, no element made of
  // them, nothing of theirs run.
  std::string dom = browserDom();
  ASSERT_NE(dom.find("<tbody id=\"rows\">"), std::string::npos) << dom;
  EXPECT_NE(dom.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos) << dom;
  EXPECT_EQ(dom.find("<img"), std::string::npos) << dom;
  EXPECT_NE(dom.find("lab-asks\"'&amp;"), std::string::npos) << dom;
  std::smatch row;
  std::map<std::string, std::string> phaseOf;
  std::regex rowPattern(
      R"re(<tr class="(\w+)"><td data-title="Machine" class="mac">([0-9A-F:]+)</td>)re");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), rowPattern);
       it != std::sregex_iterator(); ++it) {
    phaseOf[(*it)[2]] = (*it)[1];
  }
  EXPECT_EQ(phaseOf.size(), 4u) << dom;
  EXPECT_EQ(phaseOf[doneMac], "done");
  EXPECT_EQ(phaseOf[upper(failedMachine->macAddress("card0"))], "failed");
  EXPECT_EQ(phaseOf[upper(hostileMachine->macAddress("card0"))], "installing");

  // Only GET and HEAD; a header beyond the connection's memory is refused.
  std::string url = std::string(kPage) + "status.json";
  EXPECT_EQ(output({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "POST", url}),
            "405");
  EXPECT_EQ(output({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-I", url}), "200");
  EXPECT_EQ(output({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", std::string(kPage) +
                    "elsewhere"}),
            "404");
  std::string hugeHeader = "X-Filler: " + std::string(64 * 1024, 'a');
  EXPECT_NE(output({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-H", hugeHeader, url}),
            "200");

  // The events file says what the log says, line for line.
  EXPECT_EQ(exitCodeOf(run.stop(SIGTERM)), 0);
  std::vector<std::string> logged, recorded;
  std::istringstream logLines(run.log());
  std::regex logLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (([0-9A-F:]{17}) )?(.*)$)");
  for (std::string line; std::getline(logLines, line);) {
    std::smatch parts;
    if (line.rfind("summary: ", 0) == 0) break;
    ASSERT_TRUE(std::regex_match(line, parts, logLine)) << line;
    logged.push_back(parts[2].str() + "|" + parts[3].str());
  }
  std::istringstream eventLines(readWholeFile(events));
  for (std::string line; std::getline(eventLines, line);) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    std::string machine = event["machine"].is_null() ? "" : event["machine"].get<std::string>();
    recorded.push_back(machine + "|" + event["text"].get<std::string>());
  }
  EXPECT_EQ(recorded, logged);
  EXPECT_NE(run.log().find("summary: machines 4  installing 1  done 1  failed 1"),
            std::string::npos)
      << run.log();
}


// On a terminal the log gives way to a live table (on the alternate
// screen); SIGINT brings the ordinary screen back with the summary.
TEST_F(StatusPageTest, OnATerminalALiveTableAndASummaryAtTheEnd) {
  std::string root = scratch / "root";
  ASSERT_NO_FATAL_FAILURE(makeRoot(root));
  NetNamespace& space = *server;
  auto console = PtySession::startFunction([&space, root] {
    EnterNamespace inside(space);
    std::string program = serverBinary();
    execl(program.c_str(), program.c_str(), "--interface", "srv0", "--root", root.c_str(),
          static_cast<char*>(nullptr));
    return 127;
  });
  ASSERT_TRUE(console->waitFor("\033[?1049h", 20)) << console->output();
  ASSERT_TRUE(console->waitFor("MACHINE            LABEL", 20)) << console->output();
  auto machine = station("card0");
  std::string mac = upper(machine->macAddress("card0"));
  EXPECT_EQ(install(*machine, "pty\033[2J-lab"), 0);
  size_t installed = console->output().size();
  ASSERT_TRUE(console->waitFor(mac + "  pty?[2J-lab      done", 20, installed))
      << console->output().substr(installed);
  EXPECT_GT(console->output().find(" serving "), console->output().find("\033[?1049h"))
      << "the log lines are shown below the table, not printed before it";
  kill(console->pid(), SIGINT);
  EXPECT_EQ(console->exitCode(20), 0);
  std::string end = console->output().substr(console->output().rfind("\033[?1049l"));
  EXPECT_NE(end.find("stopped by SIGINT\nsummary: machines 1  installing 0  done 1  failed 0"),
            std::string::npos)
      << end;
  EXPECT_NE(end.find("  " + mac + "  pty?[2J-lab"), std::string::npos) << end;
  EXPECT_EQ(end.find("\033[2J"), std::string::npos);
}

}  // namespace
