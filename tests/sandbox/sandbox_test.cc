// The sandbox itself: what happens inside stays inside, and nothing is left.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "output_capture.h"
#include "sandbox.h"

namespace {

constexpr double kTimeout = 60;

const std::string kSandbox = KORVANEL_SANDBOX;

TEST(Sandbox, MountsMadeInsideStayInside) {
  int status;
  std::string inside = shell(kSandbox + " --host-dev -- /bin/sh -c "
                           "'mount -t tmpfs sandbox-probe /mnt && grep -c sandbox-probe /proc/mounts'",
                           &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(inside, "1\n");
  EXPECT_EQ(shell("grep -c sandbox-probe /proc/mounts"), "0\n");
}

TEST(Sandbox, InnerHalfRefusesToRunOutsideANewPidNamespace) {
  int status;
  std::string out = shell("/bin/sh " KORVANEL_SOURCE_DIR "/tests/sandbox/sandbox-inner.sh true 2>&1", &status);
  EXPECT_EQ(status, 99);
  EXPECT_NE(out.find("refusing"), std::string::npos) << out;
}

TEST(Sandbox, LoopDevicesLeftByTheCommandAreDetached) {
  int status;
  std::string loop = shell(kSandbox + " --host-dev -- /bin/sh -c '"
                         "img=$KORVANEL_SCRATCH/leak.img; truncate -s 16M $img; "
                         "l=$(losetup --find --show $img); addpart $l 1 2048 2048; echo $l'",
                         &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
  loop.pop_back();
  EXPECT_EQ(shell("losetup --noheadings --list --output NAME | grep -cx " + loop), "0\n");
  EXPECT_EQ(shell("ls " + loop + "p1 2>/dev/null | wc -l"), "0\n");
}

TEST(Sandbox, ExitStatusIsTheCommands) {
  int status;
  shell(kSandbox + " -- /bin/sh -c 'exit 7'", &status);
  EXPECT_EQ(status, 7);
}

TEST(Sandbox, FakeToolsRecordArgumentsAndInputAndRunTheirBody) {
  Sandbox sandbox;
  sandbox.fakeTool("/sbin/sfdisk", "echo \"fake says $1\"; exit 3");
  sandbox.options.program = "/bin/sh";
  sandbox.options.args = {"-c", "printf '0,12,83,*\\n' | /sbin/sfdisk -q -uC /dev/hda; echo \"status $?\"; "
                                "/sbin/sfdisk -g </dev/null"};
  sandbox.options.typeText = "net\n";
  ASSERT_TRUE(sandbox.start());
  EXPECT_EQ(sandbox.waitForEnd(kTimeout), 3);
  EXPECT_EQ(sandbox.console().output(), "fake says -q\nstatus 3\nfake says -g\n");
  auto calls = sandbox.calls("/sbin/sfdisk");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"/sbin/sfdisk", "-q", "-uC", "/dev/hda"}));
  EXPECT_EQ(calls[0].input, "0,12,83,*\n");
  EXPECT_EQ(calls[1].argv, (std::vector<std::string>{"/sbin/sfdisk", "-g"}));
  EXPECT_EQ(readFile(sandbox.rootPath("/TYPE")), "net\n");
}

}  // namespace
