// Peers that vanish in the middle of a frame, in either direction, and a
// browser that closes the host's standard output: the host drops what cannot
// be delivered whole, keeps every stream aligned on frame boundaries, and
// goes on relaying.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr std::size_t kMaxPayload = 1048576;

using DyingPeers = ConnectedHostTest;

TEST_F(DyingPeers, ApplicationDyingInsideItsFrameLeavesNoPartOfIt) {
  Bytes burst = frameOf("whole before");
  const Bytes cut = frameOfBytes(patternPayload(1, 5000));
  burst.insert(burst.end(), cut.begin(), cut.begin() + 2000);
  ASSERT_TRUE(connection->send(burst));
  connection->close();

  EXPECT_EQ(host.readFrame(), bytesOf("whole before"));
  EXPECT_EQ(host.readFrame(), bytesOf(kUnavailable));

  // A new connection starts on a frame boundary: nothing of the cut frame
  // is carried over.
  ASSERT_TRUE(host.sendFrame(R"({"type":"again"})"));
  std::optional<AppConnection> next = app.accept();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->readFrame(), bytesOf(R"({"type":"again"})"));
  EXPECT_EQ(host.readFrame(), bytesOf(kConnected));
  ASSERT_TRUE(next->sendFrame("after"));
  EXPECT_EQ(host.readFrame(), bytesOf("after"));
  expectCleanExit();
}

TEST_F(DyingPeers, ApplicationDyingWhileTheHostWritesItsFrame) {
  // A frame of the largest size, of which the application takes a little
  // before it goes away: the host's write fails part-way.
  const Bytes big = patternPayload(2, kMaxPayload);
  ASSERT_TRUE(host.send(frameOfBytes(big)));
  ASSERT_TRUE(readBytes(connection->fd(), 1000));
  connection->close();
  EXPECT_EQ(host.readFrame(), bytesOf(kUnavailable));

  ASSERT_TRUE(host.sendFrame(R"({"type":"next"})"));
  std::optional<AppConnection> next = app.accept();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->readFrame(), bytesOf(R"({"type":"next"})"));
  EXPECT_EQ(host.readFrame(), bytesOf(kConnected));
  expectCleanExit();
}

TEST_F(DyingPeers, BrowserEndingInsideAFrameStopsTheHostWithoutForwardingIt) {
  ASSERT_TRUE(host.sendFrame(R"({"type":"complete"})"));
  EXPECT_EQ(connection->readFrame(), bytesOf(R"({"type":"complete"})"));
  const Bytes cut = frameOf(R"({"type":"cut short"})");
  ASSERT_TRUE(host.send(Bytes(cut.begin(), cut.begin() + 10)));
  expectCleanExit();
  EXPECT_TRUE(readsEndOfStream(connection->fd()));
}

TEST_F(DyingPeers, ClosedStandardOutputStillRelaysToTheApplicationAndExitsZero) {
  host.closeOutput();
  for (int i = 0; i < 50; ++i) {
    const std::string message = R"({"type":"m","i":)" + std::to_string(i) + "}";
    ASSERT_TRUE(host.sendFrame(message));
    ASSERT_EQ(connection->readFrame(), bytesOf(message)) << i;
    // Frames for the browser now fail to be written, and must not stop it.
    ASSERT_TRUE(connection->sendFrame("to a closed pipe " + std::to_string(i)));
  }
  // Also across a reconnection, whose status report fails as well.
  connection->close();
  ASSERT_TRUE(waitUntil([&] {
    if (!host.sendFrame(R"({"type":"probe"})")) return false;
    return app.hasPendingConnection(std::chrono::milliseconds(200));
  }));
  std::optional<AppConnection> next = app.accept();
  ASSERT_TRUE(next);
  std::optional<Bytes> frame = next->readFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, bytesOf(R"({"type":"probe"})"));
  expectCleanExit();
}

}  // namespace
}  // namespace ostrel::tests
