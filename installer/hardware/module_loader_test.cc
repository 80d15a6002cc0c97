// The module loader against a fake module tree under /lib/modules/<release>
// of the sandbox (never the machine's; only junk files, which no kernel
// takes for a module). What reaches the kernel's module-loading call is
// watched in a child whose seccomp filter traps that call, so the kernel
// never sees it there; a second child lets the real kernel refuse the junk.
#include "hardware/module_loader.h"

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "output_capture.h"
#include "sandbox.h"

namespace {

bool insideSandbox() {
  char host[64] = "";
  gethostname(host, sizeof host);
  return getenv("KORVANEL_SCRATCH") != nullptr && strcmp(host, "korvanel-sandbox") == 0;
}

std::string release() {
  struct utsname identity {};
  uname(&identity);
  return identity.release;
}

size_t listLength(const char* const* list) {
  size_t n = 0;
  while (list[n] != nullptr) ++n;
  return n;
}

// --- what the trapped call saw --------------------------------------------
struct LoadCall {
  unsigned long length;
  char head[16];     // the image's first bytes
  char params[8];    // the parameter text
};
LoadCall trappedCalls[64];
volatile int trappedCount = 0;

void onTrappedCall(int, siginfo_t* info, void* context) {
  auto* registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  if (info->si_syscall == SYS_init_module && trappedCount < 64) {
    LoadCall& call = trappedCalls[trappedCount++];
    call.length = static_cast<unsigned long>(registers[REG_RSI]);
    memcpy(call.head, reinterpret_cast<const void*>(registers[REG_RDI]),
           std::min<unsigned long>(call.length, sizeof call.head));
    strncpy(call.params, reinterpret_cast<const char*>(registers[REG_RDX]), sizeof call.params - 1);
  }
  registers[REG_RAX] = -ENOSYS;
}

void trapModuleLoading() {
  struct sigaction action {};
  action.sa_sigaction = onTrappedCall;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSYS, &action, nullptr);
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_init_module, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
    _exit(3);
  }
}

// Runs `list` through loadModules in a child; returns its output and, when
// `trap` is set, the calls that reached the module-loading call.
struct LoaderRun {
  std::string output;
  std::vector<LoadCall> calls;
  int status = -1;
};

LoaderRun runLoader(const char* const* list, bool trap, const std::string& scratch) {
  const std::string outputFile = scratch + "/loader-output";
  const std::string callFile = scratch + "/loader-calls";
  pid_t child = fork();
  if (child == 0) {
    if (trap) trapModuleLoading();
    std::string output = captureStdout([list] { loadModules(list); });
    std::ofstream(outputFile, std::ios::binary) << output;
    std::ofstream calls(callFile, std::ios::binary);
    calls.write(reinterpret_cast<const char*>(trappedCalls),
                static_cast<std::streamsize>(sizeof(LoadCall) * trappedCount));
    calls.close();
    _exit(0);
  }
  LoaderRun run;
  waitpid(child, &run.status, 0);
  run.output = readFile(outputFile);
  std::string raw = readFile(callFile);
  for (size_t at = 0; at + sizeof(LoadCall) <= raw.size(); at += sizeof(LoadCall)) {
    LoadCall call;
    memcpy(&call, raw.data() + at, sizeof call);
    run.calls.push_back(call);
  }
  return run;
}

class ModuleLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    // Never build a module tree on the machine itself.
    ASSERT_TRUE(insideSandbox()) << "runs only inside the test sandbox";
    directory_ = "/lib/modules/" + release();
    scratch_ = getenv("KORVANEL_SCRATCH");
  }
  void TearDown() override {
    if (!directory_.empty() && insideSandbox()) (void)!system(("rm -rf " + directory_).c_str());
  }

  // A junk file per entry, its content naming the entry.
  void plant(const char* const* list) {
    for (const char* const* entry = list; *entry != nullptr; ++entry) {
      std::string path = directory_ + "/" + *entry;
      ASSERT_EQ(system(("mkdir -p $(dirname " + path + ")").c_str()), 0);
      std::ofstream(path, std::ios::binary) << "JUNK:" << *entry;
    }
  }

  std::string directory_, scratch_;
};

TEST_F(ModuleLoader, MissingAndEmptyFilesAreReportedAndEveryOtherFileIsHandedOverInOrder) {
  plant(storageModules);
  ASSERT_EQ(unlink((directory_ + "/kernel/drivers/ata/sata_mv.ko").c_str()), 0);
  std::ofstream(directory_ + "/kernel/drivers/ata/ahci.ko", std::ios::trunc).close();

  LoaderRun run = runLoader(storageModules, /*trap=*/true, scratch_);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
  EXPECT_EQ(run.output,
            "ERROR: could not load module kernel/drivers/ata/ahci.ko\n"
            "ERROR: could not load module kernel/drivers/ata/sata_mv.ko: file not found\n");

  // Everything else, in list order, the whole image with empty parameters:
  // the fifteen entries after sata_mv.ko among them.
  std::vector<std::string> expected;
  for (const char* const* entry = storageModules; *entry != nullptr; ++entry) {
    std::string name = *entry;
    if (name != "kernel/drivers/ata/sata_mv.ko" && name != "kernel/drivers/ata/ahci.ko") {
      expected.push_back(name);
    }
  }
  ASSERT_EQ(run.calls.size(), expected.size());
  EXPECT_EQ(run.calls.size(), 37u);
  for (size_t i = 0; i < expected.size(); ++i) {
    std::string content = "JUNK:" + expected[i];
    EXPECT_EQ(run.calls[i].length, content.size()) << expected[i];
    EXPECT_EQ(std::string(run.calls[i].head, std::min<size_t>(content.size(), 16)),
              content.substr(0, 16))
        << "call " << i;
    EXPECT_STREQ(run.calls[i].params, "");
  }
}

TEST_F(ModuleLoader, JunkRefusedByTheRealKernelIsSilent) {
  plant(storageModules);
  plant(usbModules);
  LoaderRun run = runLoader(storageModules, /*trap=*/false, scratch_);
  EXPECT_EQ(run.output, "");
  run = runLoader(usbModules, /*trap=*/false, scratch_);
  EXPECT_EQ(run.output, "");
}

TEST_F(ModuleLoader, NoTreeForThisKernelReportsEveryEntryByItsListName) {
  LoaderRun run = runLoader(usbModules, /*trap=*/true, scratch_);
  EXPECT_EQ(run.output,
            "ERROR: could not load module kernel/drivers/usb/core/usbcore.ko: file not found\n"
            "ERROR: could not load module kernel/drivers/usb/host/uhci-hcd.ko: file not found\n"
            "ERROR: could not load module kernel/drivers/usb/host/ohci-hcd.ko: file not found\n"
            "ERROR: could not load module kernel/drivers/usb/host/ehci-hcd.ko: file not found\n"
            "ERROR: could not load module kernel/drivers/hid/usbhid/usbhid.ko: file not found\n"
            "ERROR: could not load module kernel/drivers/usb/storage/usb-storage.ko: file not found\n");
  EXPECT_TRUE(run.calls.empty());
}

TEST(ModuleLists, SizesAndThePathOfAModuleUnderAnyRelease) {
  EXPECT_EQ(listLength(storageModules), 39u);
  EXPECT_EQ(listLength(usbModules), 6u);
  EXPECT_EQ(modulePath("2.6.x", storageModules[0]), "/lib/modules/2.6.x/kernel/fs/ext2/ext2.ko");
}

}  // namespace
