// A peer that stops reading stalls the host by design: every write happens
// with the relay's lock held and blocks until the peer reads. Once the peer
// reads again, everything that waited arrives, whole and in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <thread>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr std::uint32_t kFrames = 24;
constexpr std::size_t kFrameSize = std::size_t{256} * 1024;

class StalledPeers : public ConnectedHostTest {
 protected:
  // Ends the host, so that a peer's thread blocked on it returns.
  void stopHost() { ::kill(host.pid(), SIGKILL); }
};

TEST_F(StalledPeers, ApplicationThatStopsReadingLosesNothingOnceItReadsAgain) {
  std::thread browser([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!host.send(frameOfBytes(patternPayload(i, kFrameSize)))) return;
    }
  });
  // The application's receive queue fills while it does not read; meanwhile
  // it sends a frame of its own, which the stalled host cannot relay yet.
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(connection->fd()) >= kQueuedBytes; }));
  EXPECT_TRUE(connection->sendFrame("from the application"));

  for (std::uint32_t i = 0; i < kFrames && !HasFailure(); ++i) {
    const std::optional<Bytes> frame = connection->readFrame();
    EXPECT_TRUE(frame && *frame == patternPayload(i, kFrameSize)) << "frame " << i;
  }
  if (HasFailure()) stopHost();
  browser.join();
  EXPECT_EQ(host.readFrame(), bytesOf("from the application"));
  expectCleanExit();
}

TEST_F(StalledPeers, BrowserThatStopsReadingLosesNothingOnceItReadsAgain) {
  std::thread application([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!connection->send(frameOfBytes(patternPayload(i, kFrameSize)))) return;
    }
  });
  // Standard output fills while the browser does not read; a browser
  // message waits meanwhile, since the relay's lock is held by the write.
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(host.output()) >= kQueuedBytes; }));
  EXPECT_TRUE(host.sendFrame(R"({"type":"from the browser"})"));

  for (std::uint32_t i = 0; i < kFrames && !HasFailure(); ++i) {
    const std::optional<Bytes> frame = host.readFrame();
    EXPECT_TRUE(frame && *frame == patternPayload(i, kFrameSize)) << "frame " << i;
  }
  if (HasFailure()) stopHost();
  application.join();
  EXPECT_EQ(connection->readFrame(), bytesOf(R"({"type":"from the browser"})"));
  expectCleanExit();
}

// The browser's input stays the host's lifeline even while a write to it
// waits: closing it ends the stalled host within the one-second grace.
TEST_F(StalledPeers, BrowserThatStopsReadingAndClosesTheInputEndsTheHost) {
  std::thread application([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!connection->send(frameOfBytes(patternPayload(i, kFrameSize)))) return;
    }
  });
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(host.output()) >= kQueuedBytes; }));
  host.closeInput();
  const std::optional<int> status = host.waitExit(std::chrono::seconds(10));
  if (!status) stopHost();
  EXPECT_TRUE(exitedWithZero(status));
  EXPECT_EQ(host.errorOutput(), "");
  application.join();  // its writes fail once the host is gone
}

}  // namespace
}  // namespace ostrel::tests
