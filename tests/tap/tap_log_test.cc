// The tap's log on its own: a reader that falls behind costs lines, never
// the caller's time, and the lines left out are counted.

#include "tap_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>

#include "platform/descriptors.h"
#include "support/test_support.h"
#include "tools/common/bytes.h"

namespace ostrel::tap {
namespace {

TEST(TapLogTest, LeavesOutAndCountsWhatItsReaderDoesNotTake) {
  int ends[2];
  ASSERT_TRUE(openPipe(ends));
  ASSERT_TRUE(setNonBlocking(ends[1]));
  auto log = std::make_unique<TapLog>(ends[1], 4096);
  // Nobody reads: the pipe fills, then the buffer, and the rest is left
  // out without waiting.
  constexpr int kLines = 20000;
  for (int i = 0; i < kLines; ++i) log->event("line " + std::to_string(i));
  // A reader comes at last: what waits is written out, with the count.
  std::string text;
  std::thread reader([&] {
    while (tests::waitReadable(ends[0], common::kDeadline) &&
           common::readAvailable(ends[0], text)) {
    }
  });
  log.reset();  // writes out what waits, and closes the pipe's end
  reader.join();
  ::close(ends[0]);
  // Each count says how many lines were left out since the last one.
  const std::string counted = " lines left out: the log did not keep up\n";
  int written = 0;
  int leftOut = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line += "\n";
    if (line.find("-- line ") != std::string::npos) ++written;
    if (line.ends_with(counted)) {
      std::size_t number = line.find("-- ") + 3;
      leftOut += std::stoi(line.substr(number, line.size() - counted.size() - number));
    }
  }
  EXPECT_EQ(written + leftOut, kLines);
  EXPECT_GT(leftOut, 0);
  EXPECT_GT(written, 0);
}

// What a peer sent cannot forge a line, reorder one on screen, or steer
// the terminal the log is read on.
TEST(TapLogTest, LinesShowWhatPeersSentByTheToolsRule) {
  const auto now = std::chrono::system_clock::now();
  const std::string payload = "{\"t\":\"\n12:00:00.000 -- host exited\xE2\x80\xAE\xC2\x9B[2J\"}";
  const std::string frame = frameLine(now, Direction::kAppToHost, common::asBytes(payload));
  EXPECT_TRUE(
      frame.ends_with(R"({"t":"\n12:00:00.000 -- host exited\u202e\u009b[2J"}  (not JSON))"))
      << frame;
  const std::string event = eventLine(now, "host started: /bin/h\x1b]0;x\x07\n-- forged");
  EXPECT_TRUE(event.ends_with(R"(host started: /bin/h\x1b]0;x\x07\n-- forged)")) << event;
}

}  // namespace
}  // namespace ostrel::tap
