// The built host at the edges of its life: a connection that ends while a
// write to it fails, standard streams handed over non-blocking, closed or
// shared with another writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/descriptors.h"
#include "support/test_support.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;

// Every connection of this application says goodbye at once and hangs up,
// while the browser keeps sending: some of the host's writes then fail on a
// connection whose goodbye is still unread. Each connection must still show
// in the browser as "connected", its one goodbye, "unavailable".
TEST(HostEdgesTest, AnApplicationsLastFrameSurvivesAWriteThatFails) {
  TempDir dir;
  const std::string socket = dir.file("app.sock");
  FakeApp app(socket);
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socket}});
  std::atomic<bool> hostEnded{false};
  std::atomic<int> served{0};
  std::thread application([&] {
    while (!hostEnded) {
      std::optional<AppConnection> connection = app.accept(50ms);
      if (!connection) continue;
      connection->sendFrame("bye " + std::to_string(++served));
    }  // closed at the end of each turn
  });
  std::vector<std::string> seen;
  std::thread browserReader([&] {
    while (std::optional<Bytes> frame = host.readFrame()) seen.push_back(textOf(*frame));
  });
  // As fast as it can, until the application has served enough connections.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int i = 0; served < 100 && std::chrono::steady_clock::now() < deadline; ++i) {
    host.sendFrame(R"({"type":"note","n":)" + std::to_string(i) + "}");
  }
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
  browserReader.join();
  hostEnded = true;
  application.join();

  // Each "connected" ... "unavailable" span holds exactly the next goodbye;
  // the host may end in the middle of the last span.
  int spans = 0;
  for (std::size_t at = 0; at < seen.size(); at += 3) {
    ASSERT_EQ(seen[at], kConnected) << "frame " << at;
    if (at + 1 == seen.size()) break;
    ASSERT_EQ(seen[at + 1], "bye " + std::to_string(spans + 1)) << "frame " << at + 1;
    if (at + 2 == seen.size()) break;
    ASSERT_EQ(seen[at + 2], kUnavailable) << "frame " << at + 2;
    ++spans;
  }
  EXPECT_GE(spans, 90) << "too few connections to say anything";
}

// Launchers may hand over pipes in non-blocking mode; the host leaves them so.
TEST(HostEdgesTest, NonBlockingStandardStreamsNeitherEndTheHostNorCutAFrame) {
  TempDir dir;
  const std::string socket = dir.file("app.sock");
  FakeApp app(socket);
  HostProcess host(OSTREL_DESCRIPTOR_LAUNCHER, {{"OSTREL_SOCKET_PATH", socket}},
                   {"--nonblocking", "0", "--nonblocking", "1", "--", hostExecutable()});
  ASSERT_EQ(textOf(host.readFrame()), kConnected);
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);

  // Input that comes in pieces, with nothing to read in between.
  const Bytes frame = frameOf(R"({"type":"hello","part":"two"})");
  ASSERT_TRUE(host.send(Bytes(frame.begin(), frame.begin() + 10)));
  EXPECT_FALSE(connection->readFrame(100ms)) << "only part of the frame was sent";
  ASSERT_TRUE(host.send(Bytes(frame.begin() + 10, frame.end())));
  EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"hello","part":"two"})");

  // Output that fills the pipe while the browser does not read.
  constexpr int kFrames = 64;
  std::thread application([&] {
    for (int i = 0; i < kFrames; ++i) {
      if (!connection->sendFrame(std::string(16384, static_cast<char>('a' + i % 26)))) return;
    }
  });
  // At least a whole frame waits: as much as the smallest pipe of any system holds.
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(host.output()) >= 16384; }));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(textOf(host.readFrame()), std::string(16384, static_cast<char>('a' + i % 26)))
        << "frame " << i;
  }
  application.join();
  EXPECT_TRUE(endsCleanly(host));
}

TEST(HostEdgesTest, StartedWithClosedStandardStreamsItEndsAtOnceWithStatusZero) {
  TempDir dir;
  const std::string socket = dir.file("app.sock");
  FakeApp app(socket);
  {
    HostProcess host(OSTREL_DESCRIPTOR_LAUNCHER, {{"OSTREL_SOCKET_PATH", socket}},
                     {"--close", "0", "--", hostExecutable()});
    EXPECT_EQ(textOf(host.readFrame()), kConnected);
    EXPECT_TRUE(exitedWithZero(host.waitExit())) << "no input: nothing to wait for";
    EXPECT_TRUE(readsEndOfStream(host.output()));
    std::optional<AppConnection> connection = app.accept();
    ASSERT_TRUE(connection);
    EXPECT_TRUE(readsEndOfStream(connection->fd())) << "nothing reaches the application";
  }
  {
    HostProcess host(OSTREL_DESCRIPTOR_LAUNCHER, {{"OSTREL_SOCKET_PATH", socket}},
                     {"--close", "0", "--close", "1", "--", hostExecutable()});
    EXPECT_TRUE(exitedWithZero(host.waitExit()));
    std::optional<AppConnection> connection = app.accept();
    ASSERT_TRUE(connection);
    EXPECT_TRUE(readsEndOfStream(connection->fd())) << "its status must not go to the application";
    EXPECT_EQ(host.errorOutput(), "");
  }
}

// A wrapper script's next command, or another writer of a debugging
// pipeline, writes to the pipe or socket the host had as standard output.
// The blocking mode belongs to what they share: the host must leave it as
// it found it, or their writes come back short.
TEST(HostEdgesTest, StandardOutputSharedWithAnotherWriterIsLeftBlocking) {
  TempDir dir;
  for (const bool socket : {false, true}) {
    SCOPED_TRACE(socket ? "a socket" : "a pipe");
    int ends[2];  // [0] read by the test, [1] written by the host and, later, the test
    ASSERT_TRUE(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 : openPipe(ends));
    ASSERT_TRUE(setCloseOnExec(ends[0]) && setCloseOnExec(ends[1]));
    {
      HostProcess host("/bin/sh", {{"OSTREL_SOCKET_PATH", dir.file("none.sock")}},
                       {"-c", "exec \"$0\" >&" + std::to_string(ends[1]), hostExecutable()},
                       {ends[1]});
      EXPECT_EQ(textOf(readFrame(ends[0], kDeadline)), kUnavailable) << "the host wrote here";
      EXPECT_TRUE(endsCleanly(host));
    }
    EXPECT_EQ(::fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0);
    // One blocking write of 1 MiB, far more than the buffer holds, read
    // meanwhile: it goes out whole.
    const Bytes block(std::size_t{1} << 20, 'x');
    std::size_t received = 0;
    std::thread reader([&] {
      Bytes chunk(65536);
      for (ssize_t n;
           received < block.size() && (n = ::read(ends[0], chunk.data(), chunk.size())) > 0;) {
        received += static_cast<std::size_t>(n);
      }
    });
    EXPECT_EQ(::write(ends[1], block.data(), block.size()), static_cast<ssize_t>(block.size()));
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    EXPECT_EQ(received, block.size());
  }
}

}  // namespace
}  // namespace ostrel::tests
