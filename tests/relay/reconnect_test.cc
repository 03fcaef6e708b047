// Reconnection, replay and status reports, with a fast timer.
#include <gtest/gtest.h>

#include "relay/relay.h"
#include "relay/relay_test_peer.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using tests::AppConnection;
using tests::FakeApp;
using tests::kConnected;
using tests::kUnavailable;
using tests::textOf;

constexpr auto kFastTicks = 30ms;

TEST(ReconnectTest, StartWithoutTheApplicationReportsOnceThenRetriesQuietly) {
  RelayFixture f(kFastTicks);
  f.relay->start();
  EXPECT_EQ(f.nextOutput(), kUnavailable);
  EXPECT_TRUE(f.peer().timerRunning());
  EXPECT_TRUE(f.outputQuiet(300ms)) << "failing ticks write nothing";
}

TEST(ReconnectTest, StartWithTheApplicationReportsConnectedAndSendsNothing) {
  RelayFixture f(kFastTicks);
  FakeApp app(f.socketPath);
  f.relay->start();
  EXPECT_EQ(f.nextOutput(), kConnected);
  auto connection = app.accept();
  ASSERT_TRUE(connection);
  EXPECT_FALSE(tests::waitReadable(connection->fd(), 200ms)) << "nothing cached, nothing sent";
  EXPECT_FALSE(f.peer().timerRunning());
  EXPECT_FALSE(app.hasPendingConnection(0ms)) << "no tick while connected";
}

TEST(ReconnectTest, EveryReturnReplaysHelloThenStateThenReportsConnected) {
  RelayFixture f(kFastTicks);
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kUnavailable);
  f.forward(R"({"type":"hello","id":7})", "hello");
  f.forward(R"({"type":"focus"})", "focus");
  f.forward(R"({"type":"blur"})", "blur");
  for (int round = 0; round < 3; ++round) {
    FakeApp app(f.socketPath);
    auto connection = app.accept();
    ASSERT_TRUE(connection) << "round " << round;
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"hello","id":7})");
    EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"blur"})");
    EXPECT_EQ(f.nextOutput(), kConnected);
    connection->close();
    app.stop();
    EXPECT_EQ(f.nextOutput(), kUnavailable);
  }
  EXPECT_TRUE(f.outputQuiet(100ms));
}

TEST(ReconnectTest, ReplaysOnlyWhatIsCached) {
  RelayFixture f(kFastTicks);
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kUnavailable);
  {
    FakeApp app(f.socketPath);
    auto connection = app.accept();
    ASSERT_TRUE(connection);
    EXPECT_EQ(f.nextOutput(), kConnected);
    EXPECT_FALSE(tests::waitReadable(connection->fd(), 100ms)) << "empty cache, empty replay";
  }
  EXPECT_EQ(f.nextOutput(), kUnavailable);
  f.forward(R"({"type":"focus"})", "focus");
  FakeApp app(f.socketPath);
  auto connection = app.accept();
  ASSERT_TRUE(connection);
  EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"focus"})");
  EXPECT_EQ(f.nextOutput(), kConnected);
  EXPECT_FALSE(tests::waitReadable(connection->fd(), 100ms));
}

TEST(ReconnectTest, ShutdownStopsTicksAndReportsNothing) {
  RelayFixture f(kFastTicks);
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kUnavailable);
  f.forward(R"({"type":"hello"})", "hello");
  f.relay->shutdown();
  FakeApp app(f.socketPath);
  f.peer().attemptReconnect();  // a tick that was waiting for the lock
  EXPECT_FALSE(app.hasPendingConnection(200ms)) << "no attempt after shutdown";
  EXPECT_TRUE(f.outputQuiet(50ms));
}

TEST(ReconnectTest, ShutdownWhileConnectedClosesTheConnectionQuietly) {
  RelayFixture f(kFastTicks);
  FakeApp app(f.socketPath);
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kConnected);
  auto connection = app.accept();
  ASSERT_TRUE(connection);
  f.relay->shutdown();
  EXPECT_TRUE(tests::readsEndOfStream(connection->fd()));
  EXPECT_TRUE(f.outputQuiet(100ms));
}

}  // namespace
}  // namespace ostrel
