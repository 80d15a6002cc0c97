#include "server/view/machine_board.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/view/board_json.h"
#include "server/view/board_text.h"
#include "server/view/events_file.h"

namespace {

const uint8_t kMachine[kMacSize] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

BoardTime at(int64_t millis) { return BoardTime{millis, 1'700'000'000'000 + millis}; }

// One step of a machine's life: at `millis`, `event` (or, when its name is
// "progress", the loop reading the session: fields "request" and "offset"),
// then what the snapshot shows.
struct Step {
  int64_t millis;
  ServerEvent event;
  MachinePhase phase;
  uint64_t bytesSent;
  size_t fileIndex;
};

ServerEvent progress(int64_t request, uint64_t offset) {
  return serverEvent("progress", "", {{"request", request}, {"offset", offset}});
}

void apply(MachineBoard& board, const uint8_t* mac, const Step& step) {
  if (step.event.name == "progress") {
    board.noteSession(mac, step.event.fields["request"].get<int64_t>(),
                      step.event.fields["offset"].get<uint64_t>(), at(step.millis));
  } else {
    board.record(mac, step.event, at(step.millis));
  }
}

TEST(MachineBoardTest, AMachineFromItsDriversToItsEnd) {
  const std::vector<Step> steps = {
      {0, serverEvent("drivers", "", {{"release", "6.1"}, {"file", "6.1.bdl"}}),
       MachinePhase::drivers, 0, 0},
      {10, serverEvent("sending", "", {{"file", "6.1.bdl"}, {"index", 1u}, {"count", 1u},
                                       {"bytes", 5000u}}),
       MachinePhase::drivers, 0, 1},
      {500, progress(1, 2000), MachinePhase::drivers, 2000, 1},
      {900, serverEvent("sent", "", {{"file", "6.1.bdl"}, {"bytes", 5000u}}),
       MachinePhase::drivers, 5000, 1},
      {3000, serverEvent("found", "", {{"label", "lab-7"}}), MachinePhase::offered, 5000, 0},
      {3000, serverEvent("offered", "", {{"keep", false}}), MachinePhase::offered, 5000, 0},
      {3100, serverEvent("took-offer", ""), MachinePhase::offered, 5000, 0},
      // Preparing its disk asks nothing for minutes: still not silent.
      {3100 + 5 * 60 * 1000, serverEvent("started", "", {{"files", 2u}, {"bytes", 10000u}}),
       MachinePhase::installing, 0, 0},
      {303200, serverEvent("sending", "", {{"file", "a.bdl"}, {"index", 1u}, {"count", 2u},
                                           {"bytes", 8000u}}),
       MachinePhase::installing, 0, 1},
      {304200, progress(2, 4000), MachinePhase::installing, 4000, 1},
      {305200, progress(3, 8000), MachinePhase::installing, 8000, 1},
      {305300, serverEvent("sent", "", {{"file", "a.bdl"}, {"bytes", 8000u}}),
       MachinePhase::installing, 8000, 1},
      {305300, serverEvent("sending", "", {{"file", "b.scr"}, {"index", 2u}, {"count", 2u},
                                           {"bytes", 2000u}}),
       MachinePhase::installing, 8000, 2},
      {305400, serverEvent("sent", "", {{"file", "b.scr"}, {"bytes", 2000u}}),
       MachinePhase::installing, 10000, 2},
      {305400, serverEvent("all-sent", ""), MachinePhase::installing, 10000, 2},
      {365400, serverEvent("done", ""), MachinePhase::done, 10000, 2},
      // Late words of a finished installation change nothing.
      {365500, serverEvent("sent", "", {{"file", "b.scr"}, {"bytes", 2000u}}),
       MachinePhase::done, 10000, 2},
  };
  MachineBoard board(at(0));
  for (const Step& step : steps) {
    apply(board, kMachine, step);
    BoardSnapshot snapshot = board.snapshot(at(step.millis));
    ASSERT_EQ(snapshot.machines.size(), 1u);
    const MachineRow& row = snapshot.machines[0];
    EXPECT_EQ(phaseName(row.phase), std::string(phaseName(step.phase))) << step.millis;
    EXPECT_EQ(row.bytesSent, step.bytesSent) << step.millis;
    EXPECT_EQ(row.fileIndex, step.fileIndex) << step.millis;
  }
  BoardSnapshot end = board.snapshot(at(400000));
  const MachineRow& row = end.machines[0];
  EXPECT_EQ(row.label, "lab-7");
  EXPECT_EQ(row.elapsedMillis, 365400) << "from its first word to done, not to now";
  EXPECT_EQ(row.firstSeen, at(0).epochMillis);
  EXPECT_EQ(row.lastSeen, at(365500).epochMillis);
  EXPECT_EQ(end.totals.done, 1u);
  EXPECT_EQ(end.totals.bytesSent, 15000u) << "the drivers and the installation";
}

TEST(MachineBoardTest, RateAndEstimateFollowTheLastSeconds) {
  MachineBoard board(at(0));
  board.record(kMachine, serverEvent("started", "", {{"files", 1u}, {"bytes", 100000u}}), at(0));
  board.record(kMachine, serverEvent("sending", "", {{"file", "x.bdl"}, {"index", 1u},
                                                     {"count", 1u}, {"bytes", 100000u}}),
               at(0));
  for (int second = 1; second <= 10; ++second) {
    board.noteSession(kMachine, second, 5000u * second, at(second * 1000));
  }
  MachineRow row = board.snapshot(at(10000)).machines[0];
  EXPECT_NEAR(row.rate, 5000, 1);
  EXPECT_NEAR(static_cast<double>(row.remainingMillis), 10000, 10);
  // Nothing moves for a while: the rate falls, and no estimate is made.
  row = board.snapshot(at(20000)).machines[0];
  EXPECT_EQ(row.rate, 0);
  EXPECT_EQ(row.remainingMillis, -1);
}

TEST(MachineBoardTest, FailuresSilenceAndANewRun) {
  struct Case {
    const char* name;
    std::vector<ServerEvent> events;
    int64_t lookAfterMillis;
    MachinePhase phase;
    const char* reason;
  };
  const Case cases[] = {
      {"unreadable file",
       {serverEvent("took-offer", ""), serverEvent("started", "", {{"files", 1u}}),
        serverEvent("failed", "", {{"reason", "cannot read /srv/p/a.bdl: Permission denied"}})},
       0, MachinePhase::failed, "cannot read /srv/p/a.bdl: Permission denied"},
      {"gone while sending",
       {serverEvent("started", ""), serverEvent("gone", "gone while sending a.bdl")},
       0, MachinePhase::silent, "gone while sending a.bdl"},
      {"quiet while a file travels",
       {serverEvent("started", ""), serverEvent("sending", "", {{"index", 1u}})},
       kSilentMillis + 1000, MachinePhase::silent, "nothing asked for 121 s"},
      {"quiet in its last steps, not yet silent",
       {serverEvent("started", ""), serverEvent("all-sent", "")},
       kSilentMillis + 1000, MachinePhase::installing, ""},
      {"declined",
       {serverEvent("found", "", {{"label", "x"}}), serverEvent("declined", "")},
       0, MachinePhase::declined, ""},
      {"found again after it was done: a new installation",
       {serverEvent("started", ""), serverEvent("done", ""), serverEvent("found", "")},
       0, MachinePhase::offered, ""},
  };
  for (const Case& c : cases) {
    MachineBoard board(at(0));
    for (const ServerEvent& event : c.events) board.record(kMachine, event, at(0));
    MachineRow row = board.snapshot(at(c.lookAfterMillis)).machines.at(0);
    EXPECT_EQ(phaseName(row.phase), std::string(phaseName(c.phase))) << c.name;
    EXPECT_EQ(row.reason, c.reason) << c.name;
  }
}

TEST(MachineBoardTest, RowsAreBoundedAndFinishedMachinesMakeRoomFirst) {
  MachineBoard board(at(0), 3);
  uint8_t mac[kMacSize] = {2, 0, 0, 0, 0, 0};
  for (uint8_t i = 1; i <= 3; ++i) {
    mac[5] = i;
    board.record(mac, serverEvent("found", "", {{"label", std::to_string(i)}}), at(i));
  }
  mac[5] = 3;
  board.record(mac, serverEvent("done", ""), at(4));  // the newest, but finished
  mac[5] = 4;
  board.record(mac, serverEvent("found", "", {{"label", "4"}}), at(5));
  mac[5] = 5;
  board.record(mac, serverEvent("found", "", {{"label", "5"}}), at(6));
  std::vector<std::string> labels;
  for (const MachineRow& row : board.snapshot(at(7)).machines) labels.push_back(row.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"2", "4", "5"}));
}

// What a machine sent reaches every view as text: valid JSON with the same
// characters, and a terminal line without control bytes.
TEST(MachineBoardTest, HostileLabelsStayText) {
  const std::string hostile = "<img src=x onerror=alert(1)>\"\\\x1b[2J\xff";
  MachineBoard board(at(0));
  board.record(kMachine, serverEvent("found", "", {{"label", hostile}}), at(0));
  BoardSnapshot snapshot = board.snapshot(at(1000));
  nlohmann::json parsed = nlohmann::json::parse(boardJson(snapshot));
  std::string label = parsed["machines"][0]["label"];
  EXPECT_EQ(label.substr(0, 33), hostile.substr(0, 33));
  EXPECT_EQ(parsed["machines"][0]["mac"], "52:54:00:12:34:56");
  EXPECT_EQ(parsed["totals"]["machines"], 1);

  nlohmann::json line = nlohmann::json::parse(
      eventJsonLine(at(0).epochMillis, kMachine, serverEvent("found", "t", {{"label", hostile}})));
  EXPECT_EQ(line["event"], "found");
  EXPECT_EQ(line["machine"], "52:54:00:12:34:56");
  EXPECT_EQ(line["time"], "2023-11-14T22:13:20.000Z");

  std::string screen = renderLiveTable(snapshot, 120, 30, {}) + renderSummary(snapshot);
  EXPECT_NE(screen.find("<img src=x onerr"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(screen.find('\xff'), std::string::npos);
}

}  // namespace
