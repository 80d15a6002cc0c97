// A crowd larger than the server's session table (made small by
// --most-installers), simulated by netinstall-crowd on one card in a
// namespace of the test's own: none is lost, all complete, and the status
// page read in the middle shows every installer in the phase it is really
// in, with the true size of the file it is receiving.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "net_namespace.h"
#include "netinstall/net_test_support.h"
#include "packages/package_fixtures.h"

namespace {

constexpr int kInstallers = 300;
constexpr int kSessions = 32;

// The board phases an installer may show while the crowd says `step`
// (crowd_installer.h); the board may lag the installer by one transition.
bool phaseFits(const std::string& phase, const std::string& step, bool drivers) {
  static const std::map<std::string, std::set<std::string>> kInstall = {
      {"discovery", {"drivers", "offered"}}, {"confirm", {"offered"}},
      {"pause", {"offered"}},                {"start", {"offered", "installing"}},
      {"header", {"installing"}},            {"data", {"installing"}},
      {"closing", {"installing", "done"}},   {"done", {"done"}}};
  static const std::map<std::string, std::set<std::string>> kDrivers = {
      {"drivers", {"waiting for room", "drivers"}},
      {"header", {"drivers"}},
      {"data", {"drivers"}}};
  const auto& table = drivers ? kDrivers : kInstall;
  auto found = table.find(step);
  return found != table.end() && found->second.count(phase) > 0;
}

// index -> "step drivers|install" from the crowd's --states file.
std::map<int, std::pair<std::string, bool>> readStates(const std::string& text) {
  std::map<int, std::pair<std::string, bool>> states;
  std::istringstream lines(text);
  int index;
  std::string step, phase;
  while (lines >> index >> step >> phase) states[index] = {step, phase == "drivers"};
  return states;
}

TEST(ServerCrowd, NoInstallerIsLostAndTheBoardShowsEachInItsTruePhase) {
  ASSERT_TRUE(inPrivateNetwork()) << "run inside tests/sandbox/sandbox --net";
  alarm(400);
  auto server = NetNamespace::create();
  auto crowd = NetNamespace::create();
  ASSERT_TRUE(server && crowd);
  ASSERT_TRUE(connectNamespaces(*server, "srv0", *crowd, "crowd0"));
  // One frame carries a whole message: the crowd's card takes no fragments.
  for (auto [space, card] : {std::pair{server.get(), "srv0"}, std::pair{crowd.get(), "crowd0"}}) {
    ASSERT_EQ(space->run({"ip", "link", "set", card, "mtu", "9000", "up"}), 0);
    ASSERT_EQ(space->run({"ip", "link", "set", "lo", "up"}), 0);
  }
  ScratchDirectory scratch;
  std::string root = scratch / "root";
  FixturePackage base;
  base.name = "base";
  writeWholeFile(root + "/packages/.keep", "");
  ASSERT_EQ(makeMedium(root + "/packages", {base}), "");
  writeWholeFile(root + "/scripts/autorun.scr", "hostname router\n");
  writeWholeFile(root + "/scripts/bulk.scr", patternData(300000, 5));
  writeWholeFile(root + "/drivers/6.1.0-crowd.bdl", patternData(120000, 6));
  std::map<std::string, uint64_t> sizes;
  for (const char* path : {"packages/base.bdl", "scripts/autorun.scr", "scripts/bulk.scr",
                           "drivers/6.1.0-crowd.bdl"}) {
    struct stat status;
    ASSERT_EQ(stat((root + "/" + path).c_str(), &status), 0);
    sizes[std::string(path).substr(std::string(path).find('/') + 1)] = status.st_size;
  }

  std::string events = scratch / "events.jsonl";
  pid_t serverPid = server->spawn(
      {KORVANEL_BINARY_DIR "/bin/netinstall-server", "--interface", "srv0", "--root", root,
       "--most-installers", std::to_string(kSessions), "--status", "127.0.0.1:8080", "--events",
       events},
      scratch / "server.log");
  for (int i = 0; i < 100 && readWholeFile(scratch / "server.log").find(" serving ") ==
                                 std::string::npos; ++i) {
    usleep(100000);
  }
  ASSERT_NE(readWholeFile(scratch / "server.log").find(" serving "), std::string::npos)
      << readWholeFile(scratch / "server.log");
  std::string states = scratch / "states";
  pid_t crowdPid = crowd->spawn(
      {KORVANEL_BINARY_DIR "/bin/netinstall-crowd", "--interface", "crowd0", "--root", root,
       "--installers", std::to_string(kInstallers), "--drivers", "--spread", "2", "--pause",
       "1-2", "--time-limit", "300", "--states", states},
      scratch / "crowd.log");

  // In the middle: the crowd's own steps before and after the page's.
  sleep(8);
  auto takeStates = [&] {
    unlink((states + ".done").c_str());
    kill(crowdPid, SIGUSR1);
    for (int i = 0; i < 200 && access((states + ".done").c_str(), F_OK) != 0; ++i) usleep(10000);
    return readStates(readWholeFile(states));
  };
  auto before = takeStates();
  usleep(300000);  // the page's copy is then newer than `before`
  std::string page;
  ASSERT_EQ(server->run({"curl", "-s", "-f", "http://127.0.0.1:8080/status.json"}, &page), 0);
  auto after = takeStates();
  ASSERT_EQ(before.size(), static_cast<size_t>(kInstallers));
  nlohmann::json status = nlohmann::json::parse(page);
  std::map<int, nlohmann::json> shown;
  for (const auto& machine : status["machines"]) {
    unsigned bytes[6];
    ASSERT_EQ(sscanf(machine["mac"].get<std::string>().c_str(), "%x:%x:%x:%x:%x:%x", &bytes[0],
                     &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5]), 6);
    shown[int(bytes[2] << 24 | bytes[3] << 16 | bytes[4] << 8 | bytes[5])] = machine;
  }
  int waiting = 0, sessions = 0;
  for (int i = 0; i < kInstallers; ++i) {
    const auto& [stepBefore, driversBefore] = before[i];
    const auto& [stepAfter, driversAfter] = after[i];
    if (stepBefore == "idle") continue;
    ASSERT_EQ(shown.count(i), 1u) << "installer " << i << " (" << stepBefore << ") not shown";
    std::string phase = shown[i]["phase"];
    EXPECT_TRUE(phaseFits(phase, stepBefore, driversBefore) ||
                phaseFits(phase, stepAfter, driversAfter))
        << "installer " << i << " shown " << phase << ", is " << stepBefore << "/" << stepAfter;
    waiting += phase == "waiting for room";
    bool receiving = stepBefore == "data" && stepAfter == "data" && phase != "waiting for room";
    if (receiving) {
      ++sessions;
      ASSERT_FALSE(shown[i]["file"].is_null()) << "installer " << i << " receives a file";
      std::string name = shown[i]["file"]["name"];
      EXPECT_EQ(shown[i]["file"]["bytes"].get<uint64_t>(), sizes[name]) << name;
    }
  }
  EXPECT_GT(waiting, 0) << "more installers than sessions: some wait";
  EXPECT_LE(sessions, kSessions);

  EXPECT_EQ(exitCodeOf(waitBounded(crowdPid, 300)), 0) << readWholeFile(scratch / "crowd.log");
  kill(serverPid, SIGTERM);
  waitBounded(serverPid, 20);
  std::string log = readWholeFile(scratch / "server.log");
  EXPECT_NE(log.find("stations waited for room: at most 32 installers at once"), std::string::npos);
  size_t done = 0;
  std::istringstream lines(readWholeFile(events));
  for (std::string line; std::getline(lines, line);) {
    done += nlohmann::json::parse(line)["event"] == "done" ? 1 : 0;
  }
  EXPECT_EQ(done, static_cast<size_t>(kInstallers));
  alarm(0);
}

}  // namespace
