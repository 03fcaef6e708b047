// The built host losing and finding the application again, with its real
// 2-second reconnection timer.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "support/test_support.h"
#include "tools/common/process_table.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;

// Ticks may come up to 2.5 s apart; leave room for a loaded machine.
constexpr auto kTickDeadline = 6000ms;

class HostReconnectTest : public testing::Test {
 protected:
  TempDir dir_;
  std::string socket_ = dir_.file("app.sock");
  HostProcess host_{hostExecutable(), {{"OSTREL_SOCKET_PATH", socket_}}};
};

TEST_F(HostReconnectTest, TheApplicationComingAndGoingAlternatesStatusAndReplaysTheCache) {
  ASSERT_EQ(textOf(host_.readFrame()), kUnavailable);
  {
    // The first tick finds the application; it sees the messages arrive, so
    // they are certainly cached before it goes away.
    FakeApp app(socket_);
    auto connection = app.accept(kTickDeadline);
    ASSERT_TRUE(connection);
    EXPECT_EQ(textOf(host_.readFrame()), kConnected);
    host_.sendFrame(R"({"type":"hello","client":"test"})");
    host_.sendFrame(R"({"type":"focus"})");
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"hello","client":"test"})");
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"focus"})");
  }
  EXPECT_EQ(textOf(host_.readFrame()), kUnavailable);
  for (int round = 0; round < 3; ++round) {
    FakeApp app(socket_);
    auto connection = app.accept(kTickDeadline);
    ASSERT_TRUE(connection) << "round " << round;
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"hello","client":"test"})");
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"focus"})");
    EXPECT_EQ(textOf(host_.readFrame()), kConnected);
    connection->sendFrame(R"({"from":"app"})");
    EXPECT_EQ(textOf(host_.readFrame()), R"({"from":"app"})");
    connection->close();
    app.stop();
    EXPECT_EQ(textOf(host_.readFrame()), kUnavailable);
  }
  EXPECT_TRUE(host_.staysQuiet(2500ms)) << "failing attempts write nothing";
  host_.closeInput();
  EXPECT_TRUE(exitedWithZero(host_.waitExit()));
  EXPECT_TRUE(host_.staysQuiet(0ms) || readsEndOfStream(host_.output(), 0ms))
      << "no status at exit";
  EXPECT_EQ(host_.errorOutput(), "");
}

TEST_F(HostReconnectTest, AConnectionMadeOnDemandCarriesNoReplay) {
  ASSERT_EQ(textOf(host_.readFrame()), kUnavailable);
  host_.sendFrame(R"({"type":"hello"})");
  FakeApp app(socket_);
  host_.sendFrame(R"({"type":"now"})");
  auto connection = app.accept(kTickDeadline);
  ASSERT_TRUE(connection);
  const auto first = textOf(connection->readFrame());
  // A tick may have connected first (with the replay); otherwise the
  // on-demand connection carries only the message.
  if (first == R"({"type":"hello"})") {
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"now"})");
  } else {
    EXPECT_EQ(first, R"({"type":"now"})");
    EXPECT_FALSE(waitReadable(connection->fd(), 200ms));
  }
  EXPECT_EQ(textOf(host_.readFrame()), kConnected);
  host_.closeInput();
  EXPECT_TRUE(exitedWithZero(host_.waitExit()));
  EXPECT_TRUE(readsEndOfStream(host_.output())) << "no status message at shutdown";
}

TEST(HostIdleTest, AConnectedIdleHostDoesNotWakeUp) {
  TempDir dir;
  FakeApp app(dir.file("app.sock"));
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", dir.file("app.sock")}});
  ASSERT_EQ(textOf(host.readFrame()), kConnected);
  auto connection = app.accept();
  ASSERT_TRUE(connection);
  connection->sendFrame("{}");  // let every thread settle once
  ASSERT_TRUE(host.readFrame());
  // Settled: no thread has woken for 200 ms (on a loaded machine the reader
  // may still be on its way back to its poll when the frame arrives).
  auto settledAt = std::chrono::steady_clock::now();
  auto last = common::voluntarySwitches(host.pid());
  ASSERT_TRUE(waitUntil([&] {
    const auto now = common::voluntarySwitches(host.pid());
    if (now != last) {
      last = now;
      settledAt = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - settledAt >= 200ms;
  }));
  // Longer than two intervals of the reconnection timer (2 s, with 0.5 s of
  // leeway): a timer left running while connected ticks at least once in
  // it, and every tick is a wake-up. An idle host has none at all.
  const auto before = common::voluntarySwitches(host.pid());
  EXPECT_TRUE(host.staysQuiet(5000ms));
  const auto after = common::voluntarySwitches(host.pid());
  ASSERT_TRUE(before && after);
  EXPECT_EQ(*after - *before, 0u) << "wake-ups while connected and idle";
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
}

TEST_F(HostReconnectTest, ShutdownWhileDisconnectedWritesNoStatus) {
  ASSERT_EQ(textOf(host_.readFrame()), kUnavailable);
  host_.closeInput();
  EXPECT_TRUE(exitedWithZero(host_.waitExit()));
  EXPECT_TRUE(readsEndOfStream(host_.output()));
}

}  // namespace
}  // namespace ostrel::tests
