// An application that writes before it reads, one that never accepts, and
// one served by another user: the host neither hangs nor trusts it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "fault_support.h"
#include "platform/descriptors.h"
#include "support/another_user.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t kMiB = 1048576;

// A whole 1 MiB frame each way at once: the application starts writing its
// frame while the host is writing the browser's to it, and reads only then,
// as a simple application does.
void exchangeCrossingFrames(HostProcess& host, AppConnection& connection,
                            const Bytes& fromBrowser) {
  const Bytes fromApp = patternPayload(7, kMiB);
  std::thread browser([&] { host.send(frameOfBytes(fromBrowser)); });
  EXPECT_TRUE(waitUntil([&] { return pendingBytes(connection.fd()) >= kQueuedBytes; }));
  std::optional<Bytes> appReceived;
  std::thread app([&] {
    if (connection.send(frameOfBytes(fromApp))) appReceived = connection.readFrame(20s);
  });
  const std::optional<Bytes> browserReceived = host.readFrame(20s);
  if (!browserReceived) ::kill(host.pid(), SIGKILL);  // unblocks both threads
  app.join();
  browser.join();
  EXPECT_TRUE(browserReceived && *browserReceived == fromApp) << "application frame";
  EXPECT_TRUE(appReceived && *appReceived == fromBrowser) << "browser frame";
}

using CrossingWrites = ConnectedHostTest;

TEST_F(CrossingWrites, AnApplicationThatWritesBeforeItReadsNeverStallsTheHost) {
  exchangeCrossingFrames(host, *connection, patternPayload(3, kMiB));
  expectCleanExit();
}

TEST_F(CrossingWrites, AMegabyteHelloIsReplayedWhileTheApplicationWrites) {
  std::string hello = R"({"type":"hello","pad":")";
  hello += std::string(kMiB - hello.size() - 2, 'h') + "\"}";
  ASSERT_TRUE(host.sendFrame(hello));
  ASSERT_TRUE(host.sendFrame(R"({"type":"focus"})"));
  ASSERT_EQ(connection->readFrame(), bytesOf(hello));
  ASSERT_EQ(connection->readFrame(), bytesOf(R"({"type":"focus"})"));
  connection->close();  // the application goes away; the timer's next tick brings it back
  ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable));

  connection = app.accept();
  ASSERT_TRUE(connection);
  const Bytes fromApp = patternPayload(9, kMiB);
  std::optional<Bytes> first, second;
  std::thread application([&] {
    if (!connection->send(frameOfBytes(fromApp))) return;
    first = connection->readFrame(20s);
    second = connection->readFrame(20s);
  });
  const std::optional<Bytes> status = host.readFrame(20s);
  const std::optional<Bytes> relayed = host.readFrame(20s);
  if (!relayed) ::kill(host.pid(), SIGKILL);
  application.join();
  EXPECT_EQ(status, bytesOf(kConnected)) << "\"connected\" comes before the application's frame";
  EXPECT_TRUE(relayed && *relayed == fromApp);
  EXPECT_EQ(first, bytesOf(hello)) << "the replay starts with the cached hello";
  EXPECT_EQ(second, bytesOf(R"({"type":"focus"})"));
  expectCleanExit();
}

TEST_F(CrossingWrites, AnApplicationThatNeverReadsDoesNotKeepTheHostAliveOnceInputCloses) {
  // More than the socket takes; the host reads the whole frame, then waits.
  ASSERT_TRUE(host.send(frameOfBytes(patternPayload(1, kMiB))));
  ASSERT_TRUE(host.sendFrame(R"({"type":"queued behind it"})"));
  EXPECT_TRUE(connection->sendFrame("still relayed")) << "the reader goes on meanwhile";
  EXPECT_EQ(host.readFrame(), bytesOf("still relayed"));
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit(5s)));
  EXPECT_EQ(host.errorOutput(), "");
}

// A listener that never accepts, its queue already full. The backlog is 1,
// not 0, which macOS takes for its largest (128). A full queue refuses a
// non-blocking connect with EAGAIN on Linux and with ECONNREFUSED on macOS.
class FullListener {
 public:
  explicit FullListener(const std::string& path) {
    listener_ = openUnixStreamSocket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0) {
      return;
    }
    for (int i = 0; i < 64; ++i) {  // connect until the queue refuses
      const int client = openUnixStreamSocket();
      if (client < 0) return;
      if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        full_ = errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED;
        ::close(client);
        return;
      }
      waiting_.push_back(client);
    }
  }
  ~FullListener() {
    for (int fd : waiting_) ::close(fd);
    ::close(listener_);
  }
  bool full() const { return full_; }

 private:
  int listener_ = -1;
  std::vector<int> waiting_;
  bool full_ = false;
};

TEST(HungApplication, AFullListenQueueNeitherDelaysTheFirstStatusNorTheExit) {
  TempDir dir;
  const std::string socket = dir.file("app.sock");
  FullListener listener(socket);
  ASSERT_TRUE(listener.full());
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socket}});
  EXPECT_EQ(host.readFrame(3s), bytesOf(kUnavailable));
  ASSERT_TRUE(host.sendFrame(R"({"type":"hello"})"));  // connects on demand: refused too
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit(3s)));
  EXPECT_TRUE(readsEndOfStream(host.output(), 1s)) << "no status after the first";
}

// Listens at `path` as another user, in a child process, and reports how
// many connections it accepted and how many bytes it read from them once
// `stop` is closed. Only system calls run in the child.
class ForeignListener {
 public:
  explicit ForeignListener(const std::string& path) {
    int ready[2], stop[2], report[2];
    if (!openPipe(ready) || !openPipe(stop) || !openPipe(report)) {
      return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    AnotherUser another;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);  // the parent's ends: closing `stop` must end the child
      ::close(stop[1]);
      ::close(report[0]);
      if (!another.becomeInChild()) ::_exit(1);
      serve(address, ready[1], stop[0], report[1]);
    }
    ::close(ready[1]);
    ::close(stop[0]);
    ::close(report[1]);
    stop_ = stop[1];
    report_ = report[0];
    if (pid_ > 0) refused_ = another.grantFromParent(pid_);
    listening_ = !refused_ && readBytes(ready[0], 1).has_value();
    ::close(ready[0]);
  }
  ~ForeignListener() {
    finish();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool listening() const { return listening_; }
  // Why no other user can be had here, if so.
  const std::optional<std::string>& refused() const { return refused_; }

  // {connections, bytes}
  std::pair<long, long> finish() {
    if (report_ < 0) return {-1, -1};
    if (stop_ >= 0) ::close(stop_);
    stop_ = -1;
    long counts[2] = {-1, -1};
    if (const std::optional<Bytes> got = readBytes(report_, sizeof counts, 5s)) {
      std::memcpy(counts, got->data(), sizeof counts);
    }
    ::close(report_);
    report_ = -1;
    return {counts[0], counts[1]};
  }

 private:
  [[noreturn]] static void serve(const sockaddr_un& address, int ready, int stop, int report) {
    ::umask(0);  // a socket file that the host's user may connect to
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0 || ::write(ready, "r", 1) != 1) {
      ::_exit(1);
    }
    long counts[2] = {0, 0};
    char buffer[4096];
    for (bool stopping = false; !stopping;) {
      pollfd watched[2] = {{listener, POLLIN, 0}, {stop, POLLIN, 0}};
      if (::poll(watched, 2, -1) < 0) continue;
      stopping = watched[1].revents != 0;
      // Once stopping, what is still queued counts too: a host that
      // connected, judged the peer and went may not have been accepted yet.
      if (stopping && ::fcntl(listener, F_SETFL, O_NONBLOCK) != 0) break;
      for (int connection; (connection = ::accept(listener, nullptr, nullptr)) >= 0;) {
        ++counts[0];
        for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) counts[1] += n;
        ::close(connection);
        if (!stopping) break;
      }
    }
    ::_exit(::write(report, counts, sizeof counts) == sizeof counts ? 0 : 1);
  }

  pid_t pid_ = -1;
  int stop_ = -1;
  int report_ = -1;
  bool listening_ = false;
  std::optional<std::string> refused_;
};

TEST(ForeignApplication, ASocketServedByAnotherUserIsNeitherTrustedNorTold) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string socket = dir.file("app.sock");
  ForeignListener listener(socket);
  if (listener.refused()) GTEST_SKIP() << *listener.refused();
  ASSERT_TRUE(listener.listening());

  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socket}});
  EXPECT_EQ(host.readFrame(), bytesOf(kUnavailable));
  ASSERT_TRUE(host.sendFrame(R"({"type":"hello","secret":"for my own user only"})"));
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
  EXPECT_TRUE(readsEndOfStream(host.output())) << "never \"connected\"";
  const auto [connections, bytes] = listener.finish();
  EXPECT_GE(connections, 1) << "the host did try the socket";
  EXPECT_EQ(bytes, 0) << "and wrote nothing to it";
}

}  // namespace
}  // namespace ostrel::tests
