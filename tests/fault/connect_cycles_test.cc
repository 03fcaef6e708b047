// A thousand connections to the application, each made on demand by a
// browser message and ended by the application, must leave the host with
// as many descriptors as before and its memory flat.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>
#include <string>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr int kCycles = 1000;
constexpr int kWarmUpCycles = 100;

TEST(ConnectCycles, ThousandConnectionsLeaveDescriptorsAndMemoryBounded) {
  TempDir dir;
  const std::string socketPath = dir.file("app.sock");
  FakeApp app(socketPath);
  ASSERT_TRUE(app.listening());
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socketPath}});
  ASSERT_TRUE(host.started());

  // The connection made at start-up, ended at once.
  std::optional<AppConnection> first = app.accept();
  ASSERT_TRUE(first);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  first->close();
  ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable));

  int warmDescriptors = 0;
  long warmResident = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const std::string request = R"({"type":"ping","cycle":)" + std::to_string(cycle) + "}";
    const std::string reply = "reply " + std::to_string(cycle);
    // Disconnected: the message makes the host connect at once (or a timer
    // tick has just connected it; the application sees one connection
    // either way, and the browser one "connected").
    ASSERT_TRUE(host.sendFrame(request)) << "cycle " << cycle;
    std::optional<AppConnection> connection = app.accept();
    ASSERT_TRUE(connection) << "cycle " << cycle;
    ASSERT_EQ(connection->readFrame(), bytesOf(request)) << "cycle " << cycle;
    ASSERT_TRUE(connection->sendFrame(reply));
    ASSERT_EQ(host.readFrame(), bytesOf(kConnected)) << "cycle " << cycle;
    ASSERT_EQ(host.readFrame(), bytesOf(reply)) << "cycle " << cycle;
    connection->close();
    ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable)) << "cycle " << cycle;

    if (cycle + 1 == kWarmUpCycles) {
      // The old socket is closed on the host's read queue, a moment after
      // the status report; wait until the count has settled.
      std::optional<int> count;
      ASSERT_TRUE(waitUntil([&] {
        const std::optional<int> before = count;
        count = descriptorCount(host.pid());
        return count && before == count;
      }));
      warmDescriptors = *count;
      warmResident = residentKiB(host.pid()).value_or(0);
    }
  }

  std::optional<int> descriptors;
  const bool descriptorsBack = waitUntil([&] {
    descriptors = descriptorCount(host.pid());
    return descriptors && *descriptors <= warmDescriptors;
  });
  EXPECT_TRUE(descriptorsBack) << "host descriptors: " << warmDescriptors << " after "
                               << kWarmUpCycles << " cycles, " << descriptors.value_or(-1)
                               << " after " << kCycles;
  const long resident = residentKiB(host.pid()).value_or(0);
  std::cout << "host after " << kWarmUpCycles << " / " << kCycles << " cycles: descriptors "
            << warmDescriptors << " / " << descriptors.value_or(-1) << ", resident KiB "
            << warmResident << " / " << resident << "\n";
  if (!kSanitizedBuild) {
    EXPECT_LE(resident, warmResident + 2048);
  }

  // Still a working host, which ends cleanly at end of input.
  ASSERT_TRUE(host.sendFrame(R"({"type":"last"})"));
  std::optional<AppConnection> last = app.accept();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->readFrame(), bytesOf(R"({"type":"last"})"));
  EXPECT_TRUE(endsCleanly(host));
}

}  // namespace
}  // namespace ostrel::tests
