// An application that writes several large frames before it reads, while
// the host is still writing a frame larger than the socket's buffer to it
// (a replay, or a message that made the connection); and a browser whose
// end of the host's input is a socket that it half-closes while such a
// write waits. The host neither hangs nor says "connected" late.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "fault_support.h"
#include "platform/descriptors.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t kKiB = 1024;

// A browser message of about `size` bytes whose type is `type`.
std::string messageOfSize(const std::string& type, std::size_t size) {
  std::string text = R"({"type":")" + type + R"(","pad":")";
  text += std::string(size - text.size() - 2, 'p') + "\"}";
  return text;
}

// The application writes two 256 KiB frames, then reads `expected`. The
// browser must see "connected", then both frames, whole and in order.
void expectFramesBothWays(HostProcess& host, AppConnection& connection,
                          const std::vector<std::string>& expected) {
  const Bytes first = patternPayload(11, 256 * kKiB);
  const Bytes second = patternPayload(12, 256 * kKiB);
  std::vector<std::optional<Bytes>> received(expected.size());
  std::thread application([&] {
    if (!connection.send(frameOfBytes(first)) || !connection.send(frameOfBytes(second))) return;
    for (auto& frame : received) frame = connection.readFrame(20s);
  });
  const std::optional<Bytes> status = host.readFrame(20s);
  const std::optional<Bytes> one = status ? host.readFrame(20s) : std::nullopt;
  const std::optional<Bytes> two = one ? host.readFrame(20s) : std::nullopt;
  if (!two) ::kill(host.pid(), SIGKILL);  // a deadlock: this frees the application's thread
  application.join();
  EXPECT_EQ(status, bytesOf(kConnected)) << "\"connected\" comes before the application's frames";
  EXPECT_TRUE(one && *one == first) << "the first application frame";
  EXPECT_TRUE(two && *two == second) << "the second application frame";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(received[i], bytesOf(expected[i])) << "browser frame " << i;
  }
}

using AppWritesFirst = ConnectedHostTest;

TEST_F(AppWritesFirst, WhileALargeHelloIsReplayed) {
  const std::string hello = messageOfSize("hello", 300 * kKiB);
  ASSERT_TRUE(host.sendFrame(hello));
  ASSERT_TRUE(host.sendFrame(R"({"type":"blur"})"));
  ASSERT_EQ(connection->readFrame(), bytesOf(hello));
  ASSERT_EQ(connection->readFrame(), bytesOf(R"({"type":"blur"})"));
  connection->close();
  ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable));

  connection = app.accept();  // the next tick
  ASSERT_TRUE(connection);
  expectFramesBothWays(host, *connection, {hello, R"({"type":"blur"})"});
  ASSERT_TRUE(host.sendFrame(R"({"type":"later"})"));
  EXPECT_EQ(connection->readFrame(), bytesOf(R"({"type":"later"})")) << "the host goes on";
  expectCleanExit();
}

TEST(AppWritesFirstOnDemand, WhileTheMessageThatMadeTheConnectionIsWritten) {
  TempDir dir;
  const std::string socket = dir.file("app.sock");
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socket}});
  ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable));
  // Well before the first tick: the browser's message makes the connection.
  FakeApp app(socket);
  ASSERT_TRUE(app.listening());
  const std::string message = messageOfSize("page", 300 * kKiB);
  ASSERT_TRUE(host.sendFrame(message));
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  expectFramesBothWays(host, *connection, {message});
  EXPECT_TRUE(endsCleanly(host));
}

// The host with one end of a socket pair as its standard input, as some
// launchers start it; `browser` is the other end.
struct SocketInputHost {
  explicit SocketInputHost(const std::string& socketPath) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    if (!setCloseOnExec(ends[0]) || !setCloseOnExec(ends[1])) return;
    browser = ends[0];
    const std::string hostEnd = std::to_string(ends[1]);
    host.emplace(
        "/bin/sh", std::map<std::string, std::string>{{"OSTREL_SOCKET_PATH", socketPath}},
        std::vector<std::string>{"-c", "exec \"$0\" origin 0<&" + hostEnd + " " + hostEnd + "<&-",
                                 hostExecutable()},
        std::vector<int>{ends[1]});
    ::close(ends[1]);
  }
  ~SocketInputHost() {
    if (browser >= 0) ::close(browser);
  }
  int browser = -1;
  std::optional<HostProcess> host;
};

TEST(SocketAsInput, HalfClosingItEndsTheHostWhileAWriteToTheApplicationWaits) {
  TempDir dir;
  FakeApp app(dir.file("app.sock"));
  ASSERT_TRUE(app.listening());
  SocketInputHost started(dir.file("app.sock"));
  ASSERT_TRUE(started.host && started.host->started());
  HostProcess& host = *started.host;
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));

  // An application that never reads: the host's write of this frame waits.
  ASSERT_TRUE(writeBytes(started.browser, frameOfBytes(patternPayload(5, 1048576))));
  ASSERT_TRUE(waitUntil([&] { return pendingBytes(connection->fd()) >= kQueuedBytes; }));
  ASSERT_EQ(::shutdown(started.browser, SHUT_WR), 0);
  EXPECT_TRUE(exitedWithZero(host.waitExit(5s))) << "the host ends once its input has";
  EXPECT_EQ(host.errorOutput(), "");
}

}  // namespace
}  // namespace ostrel::tests
