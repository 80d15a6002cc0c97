// The lab's decisions on a state folder of the test's own, with the clock
// given: a machine done turns not up once, when its time has passed, and
// still turns up if its report comes later.

#include "server/lab/lab_machines.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

const uint8_t kMachine[kMacSize] = {0x52, 0x54, 0x00, 0xaa, 0x02, 0x01};
const uint8_t kServer[kMacSize] = {0x02, 0x4b, 0x56, 0x00, 0x00, 0x01};

TEST(LabMachinesTest, DoneWithoutAReportTurnsNotUpOnceAndUpWhenTheReportComesLate) {
  char folder[] = "/tmp/lab-machines-test.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string root = std::string(folder) + "/root", stateDir = std::string(folder) + "/state";
  ASSERT_EQ(system(("mkdir -p " + root + "/packages").c_str()), 0);
  LabState state(stateDir);
  std::string error;
  ASSERT_TRUE(state.open(error)) << error;
  LabMachines lab(state, root);

  std::vector<ServedFile> files;
  uint64_t installation = 0;
  bool rearmed = true;
  ASSERT_TRUE(lab.beginInstallation(kMachine, kServer, 1000, files, installation, rearmed, error))
      << error;
  EXPECT_EQ(installation, 1u);
  EXPECT_FALSE(rearmed);
  ASSERT_FALSE(files.empty());
  std::ifstream tokenFile(files.back().path);
  std::string line, token;
  while (std::getline(tokenFile, line)) {
    if (line.rfind("token: ", 0) == 0) token = line.substr(7);
  }
  ASSERT_EQ(token.size(), 2 * kTokenBytes);
  lab.finishInstallation(kMachine, 5000);

  EXPECT_TRUE(lab.overdue(5000 + 59999, 60000).empty());
  auto late = lab.overdue(5000 + 60000, 60000);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].second, 60000);
  EXPECT_TRUE(lab.overdue(5000 + 120000, 60000).empty());  // said once
  EXPECT_EQ(state.load(kMachine).phase, LabPhase::notUp);

  int64_t upAfter = 0;
  EXPECT_EQ(lab.upReport(kMachine, token, 200000, upAfter), UpResult::accepted);
  EXPECT_EQ(upAfter, 200000 - 1000);
  EXPECT_EQ(lab.upReport(kMachine, token, 201000, upAfter), UpResult::repeated);
  EXPECT_EQ(lab.upReport(kMachine, std::string(32, '0'), 201000, upAfter), UpResult::wrongToken);
  std::string reason;
  EXPECT_FALSE(lab.admit(kMachine, "korvanel", reason));
  EXPECT_NE(reason.find("installed already (up)"), std::string::npos) << reason;
  ASSERT_EQ(system(("rm -rf " + std::string(folder)).c_str()), 0);
}

}  // namespace
