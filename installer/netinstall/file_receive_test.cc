// Receiving files from a scripted stand-in server: how headers, blocks and
// names are taken, and what is printed when a file cannot be delivered.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/command_runner.h"
#include "netinstall/client_fixture.h"
#include "netinstall/file_transfer.h"
#include "output_capture.h"

namespace {

class FileReceiveTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    if (HasFatalFailure()) return;
    openClient();
    findServerPlainly();
  }

  // Answers each new "RETR" with the next of `replies` (a repetition gets the
  // same reply again), then stops answering. `requests` counts the new ones.
  void serve(const std::vector<std::string>& replies) {
    requests = 0;
    peer->run([this, replies](ScriptedPeer& p) {
      NetMessage request;
      uint16_t sequence = 2;
      int lastRequest = -1;
      while (p.next(request, 0.5)) {
        if (request.sequence() != lastRequest) {
          if (requests >= static_cast<int>(replies.size())) continue;
          lastRequest = request.sequence();
          ++sequence;
          ++requests;
        }
        p.answer(request, sequence, replies[requests - 1]);
      }
    });
  }

  NextFile next(std::string& printed, char* name = nullptr, size_t capacity = 0,
                int* mark = nullptr) {
    NextFile result = NextFile::end;
    printed = captureStdout([&] { result = installer.nextFile(name, capacity, mark); });
    return result;
  }

  std::atomic<int> requests{0};
  ScratchDirectory scratch;
};

TEST_F(FileReceiveTest, EmptyFileArrivesAsAnEmptyFile) {
  serve({"FILE\nempty.bdl\n0\n", ""});
  std::string printed;
  ASSERT_EQ(next(printed), NextFile::file);
  ASSERT_TRUE(receiveToFile(installer, (scratch / "empty").c_str()));
  peer->join();
  EXPECT_EQ(readWholeFile(scratch / "empty"), "");
  EXPECT_EQ(requests, 2);
}

// One block per call however large the buffer; a block larger than the
// buffer is handed out over several calls without a new request.
TEST_F(FileReceiveTest, BlocksAreHandedOutInPlace) {
  std::string first = patternData(4076, 1), second = patternData(4076, 2);
  serve({"FILE\nbig.bdl\n0\n", first, second, "xyz", ""});
  std::string printed;
  ASSERT_EQ(next(printed), NextFile::file);
  char buffer[4096];
  EXPECT_EQ(installer.readFileData(buffer, sizeof buffer), 4076);
  EXPECT_EQ(std::string(buffer, 4076), first);
  EXPECT_EQ(requests, 2);
  for (int expected : {1000, 1000, 1000, 1000, 76}) {
    EXPECT_EQ(installer.readFileData(buffer, 1000), expected);
  }
  EXPECT_EQ(requests, 3) << "the second block took one request for five calls";
  EXPECT_EQ(installer.readFileData(buffer, sizeof buffer), 3);
  EXPECT_EQ(installer.readFileData(buffer, sizeof buffer), 0);
  peer->join();
}

TEST_F(FileReceiveTest, HeadersGiveNameAndMarkOrEndTheSequence) {
  serve({"FILE\n" + std::string(27, 'n') + ".scr\n0\n", "FILE\nx\nletters\n", "FILE\nlast\n-1\n",
         "DONE\n"});
  std::string printed;
  char name[32];
  int mark = 7;
  ASSERT_EQ(next(printed, name, sizeof name, &mark), NextFile::file);
  EXPECT_EQ(std::string(name), std::string(27, 'n') + ".scr") << "31 characters fit whole";
  EXPECT_EQ(mark, 0);
  ASSERT_EQ(next(printed, name, sizeof name, &mark), NextFile::file);
  EXPECT_EQ(mark, 0) << "a mark of letters is 0";
  EXPECT_EQ(next(printed, name, sizeof name, &mark), NextFile::end) << "mark -1";
  EXPECT_EQ(next(printed, name, sizeof name, &mark), NextFile::end) << "not a FILE header";
  EXPECT_EQ(printed, "");
  peer->join();
}

// A name that would leave "/mnt" (or name a directory there) is never
// handed on: the installation stops with a line that says why.
TEST_F(FileReceiveTest, NamesThatAreNotPlainStopTheInstallation) {
  serve({"FILE\n../etc/rc.scr\n1\n", "FILE\n..\n1\n", "FILE\n.\n0\n", "FILE\nbad\x1b[2J/\n1\n"});
  std::string printed;
  char name[32] = "unchanged";
  EXPECT_EQ(next(printed, name, sizeof name), NextFile::failed);
  EXPECT_EQ(printed,
            "\nFATAL ERROR: the server sent the file name \"../etc/rc.scr\", which contains \"/\"\n");
  EXPECT_STREQ(name, "unchanged");
  EXPECT_EQ(next(printed, name, sizeof name), NextFile::failed);
  EXPECT_EQ(printed, "\nFATAL ERROR: the server sent the file name \"..\", which names a directory\n");
  EXPECT_EQ(next(printed), NextFile::failed) << "refused even when the caller wants no name";
  EXPECT_EQ(printed, "\nFATAL ERROR: the server sent the file name \".\", which names a directory\n");
  EXPECT_EQ(next(printed), NextFile::failed);
  EXPECT_EQ(printed,
            "\nFATAL ERROR: the server sent the file name \"bad?[2J/\", which contains \"/\"\n");
  peer->join();
}

// A name cut to the caller's 31 characters could lose its ".scr" (a script
// installed as a package) or gain one: only names that arrive whole are used.
TEST_F(FileReceiveTest, NamesLongerThanTheCallerKeepsAreRefused) {
  std::string longScript = "settings-for-the-branch-office.scr";   // 34: cut, a package
  std::string longPackage = std::string(27, 'p') + ".scr.bdl";      // 35: cut, a script
  serve({"FILE\n" + longScript + "\n1\n", "FILE\n" + longPackage + "\n0\n"});
  std::string printed;
  char name[32] = "unchanged";
  for (const std::string& sent : {longScript, longPackage}) {
    EXPECT_EQ(next(printed, name, sizeof name), NextFile::failed) << sent;
    EXPECT_EQ(printed, "\nFATAL ERROR: the server sent the file name \"" + sent +
                           "\", which is longer than 31 characters\n");
    EXPECT_STREQ(name, "unchanged");
  }
  peer->join();
}

// Silence where a header should come is a lost server, not the end of the
// files: the installation must not be reported complete.
TEST_F(FileReceiveTest, NoAnswerToAHeaderIsABadConnection) {
  installer.timing.replyTimeoutUsec = 50000;
  serve({});
  std::string printed;
  EXPECT_EQ(next(printed), NextFile::failed);
  EXPECT_EQ(printed, "\nFATAL ERROR: bad network connection\n");
  peer->join();
}

TEST_F(FileReceiveTest, NoAnswerInsideAFileIsABadConnection) {
  installer.timing.replyTimeoutUsec = 50000;
  serve({"FILE\nhalf.bdl\n0\n", patternData(100, 3)});
  std::string printed;
  ASSERT_EQ(next(printed), NextFile::file);
  bool received = true;
  printed = captureStdout([&] { received = receiveToFile(installer, (scratch / "half").c_str()); });
  EXPECT_FALSE(received);
  EXPECT_EQ(printed, "\nFATAL ERROR: bad network connection\n");
  EXPECT_EQ(readWholeFile(scratch / "half"), patternData(100, 3)) << "left as it is";
  peer->join();
}

TEST_F(FileReceiveTest, LocalFileThatCannotBeWrittenIsReported) {
  serve({"FILE\na.scr\n1\n", "FILE\nb.scr\n1\n", "data", ""});
  std::string printed;
  bool received = true;
  ASSERT_EQ(next(printed), NextFile::file);
  printed = captureStdout(
      [&] { received = receiveToFile(installer, (scratch / "missing/dir/a.scr").c_str()); });
  EXPECT_FALSE(received);
  EXPECT_EQ(printed, "\nFATAL ERROR: couldn't make a file\n");

  // A full disk: the few bytes sit in the stream's buffer until it is
  // closed, and that failure counts as much as a failed write.
  ASSERT_EQ(next(printed), NextFile::file);
  printed = captureStdout([&] { received = receiveToFile(installer, "/dev/full"); });
  EXPECT_FALSE(received);
  EXPECT_EQ(printed, "\nFATAL ERROR: installation failed: No space left on device\n");
  peer->join();
}

// Another piped child still runs (the slot is taken): no second one starts.
TEST_F(FileReceiveTest, InstallerChildThatCannotStartIsReported) {
  serve({"FILE\nbase.bdl\n0\n"});
  std::string printed;
  ASSERT_EQ(next(printed), NextFile::file);
  bool received = true;
  activeChildPid = getpid();
  printed = captureStdout([&] { received = receiveToInstaller(installer, "/mnt", true); });
  activeChildPid = -1;
  EXPECT_FALSE(received);
  EXPECT_EQ(printed, "\nFATAL ERROR: couldn't start install\n");
  peer->join();
}

}  // namespace
