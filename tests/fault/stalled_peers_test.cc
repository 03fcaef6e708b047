// A peer that stops reading stalls the host by design: every write happens
// with the relay's lock held and blocks until the peer reads. Once the peer
// reads again, everything that waited arrives, whole and in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
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

// The end of input need not be a hang-up: a browser frame over the limit
// ends the host too, and so it must while a write to a browser that does
// not read holds the relay, whose input stays open.
TEST_F(StalledPeers, AnOverLongBrowserFrameEndsTheHostWhileAWriteToTheBrowserWaits) {
  std::thread application([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!connection->send(frameOfBytes(patternPayload(i, kFrameSize)))) return;
    }
  });
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(host.output()) >= kQueuedBytes; }));
  EXPECT_TRUE(host.send({0x01, 0x00, 0x10, 0x00}));  // 1 MiB and 1 byte: one too many
  const std::optional<int> status = host.waitExit(std::chrono::seconds(10));
  if (!status) stopHost();
  EXPECT_TRUE(exitedWithZero(status));
  EXPECT_EQ(host.errorOutput(), "");
  application.join();
}

// A browser that closes the host's input while the host waits to write a
// frame to it, and then reads on, too slowly for that frame to go out
// within the grace: the host ends all the same. What the browser reads up
// to the end is the application's frames in order, the last perhaps cut
// short, and never anything after a cut frame, which the browser would take
// for the rest of it. A browser message, which the application does not
// read, waits meanwhile: once the host ends, nothing else of the host's may
// reach the browser either.
TEST_F(StalledPeers, BrowserThatClosesTheInputAndReadsSlowlyNeverGetsAFrameAfterACutOne) {
  constexpr std::uint32_t kBigFrames = 16;
  constexpr std::size_t kLargestPayload = std::size_t{1} << 20;  // 1 MiB, the most either way
  Bytes expected;
  for (std::uint32_t i = 0; i < kBigFrames; ++i) {
    const Bytes frame = frameOfBytes(patternPayload(i, kLargestPayload));
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  std::thread application(
      [&] { (void)connection->send(expected); });  // fails once the host is gone
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(host.output()) >= kQueuedBytes; }));
  EXPECT_TRUE(host.send(frameOfBytes(patternPayload(kBigFrames, kLargestPayload))));
  host.closeInput();

  Bytes received;
  Bytes chunk(4096);
  while (waitReadable(host.output(), kDeadline)) {
    const ssize_t n = ::read(host.output(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    // The browser's pace, about 400 kB/s: a whole frame takes it longer
    // than the grace.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::optional<int> status = host.waitExit(std::chrono::seconds(10));
  if (!status) stopHost();
  EXPECT_TRUE(exitedWithZero(status));
  application.join();
  ASSERT_LE(received.size(), expected.size());
  const auto at = std::mismatch(received.begin(), received.end(), expected.begin()).first;
  EXPECT_EQ(at, received.end()) << "byte " << (at - received.begin()) << " of " << received.size()
                                << " is not the application's";
}

}  // namespace
}  // namespace ostrel::tests
