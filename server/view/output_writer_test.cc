// A reader that stops reading: the loop's hand-over never waits, costs a
// bounded amount, and what is written is whole lines in order.

#include "server/view/output_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(OutputWriter, AReaderThatStopsHoldsUpNothingAndLosesOnlyWholeLines) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  constexpr size_t kMostWaiting = 64 * 1024;
  std::string accepted;
  size_t refused = 0;
  std::string got;
  {
    OutputWriter writer(ends[1], kMostWaiting);
    // Nobody reads: far more than the pipe, the text in the thread's hand
    // and what may wait can hold together.
    for (int i = 0; i < 20000; ++i) {
      std::string line = "line " + std::to_string(i) + "\n";
      if (writer.append(line)) {
        accepted += line;
      } else {
        ++refused;
      }
    }
    EXPECT_GT(refused, 0u);
    EXPECT_LE(accepted.size(), 4096 + 2 * kMostWaiting);
    std::thread reader([&] {
      char buffer[4096];
      ssize_t length;
      while ((length = read(ends[0], buffer, sizeof buffer)) > 0) got.append(buffer, length);
    });
    writer.finish("the end\n");
    close(ends[1]);
    reader.join();
  }
  close(ends[0]);
  EXPECT_EQ(got, accepted + "the end\n");
}
