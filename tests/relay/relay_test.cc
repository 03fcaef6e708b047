// The relay against a real listening socket: forwarding, the cache, the
// socket path limits and reading application frames.
#include "relay/relay.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <thread>

#include "platform/descriptors.h"
#include "relay/relay_test_peer.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using tests::AppConnection;
using tests::Bytes;
using tests::FakeApp;
using tests::frameOf;
using tests::kConnected;
using tests::kUnavailable;
using tests::textOf;
using tests::waitUntil;

TEST(RelayForwardTest, CachesHelloAndTheLatestFocusOrBlurOnly) {
  RelayFixture f;
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kUnavailable);
  f.forward(R"({"type":"hello","v":1})", "hello");
  f.forward(R"({"type":"focus"})", "focus");
  f.forward(R"({"type":"blur"})", "blur");
  f.forward(R"({"type":"Hello"})", "Hello");
  f.forward(R"({"type":"focus "})", "focus ");
  f.forward("[1,2]", std::nullopt);
  EXPECT_EQ(f.peer().hello(), R"({"type":"hello","v":1})");
  EXPECT_EQ(f.peer().latestState(), R"({"type":"blur"})");
  f.forward(R"({"type":"focus","again":true})", "focus");
  EXPECT_EQ(f.peer().latestState(), R"({"type":"focus","again":true})");
  EXPECT_EQ(f.peer().hello(), R"({"type":"hello","v":1})");
  EXPECT_TRUE(f.outputQuiet(100ms)) << "failed attempts report nothing new";
}

TEST(RelayForwardTest, ConnectsOnDemandAndSendsOnlyTheMessage) {
  RelayFixture f;
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kUnavailable);
  f.forward(R"({"type":"hello"})", "hello");  // cached while nobody listens
  FakeApp app(f.socketPath);
  f.forward("", std::nullopt);  // an empty payload is a message too
  auto connection = app.accept();
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->readFrame(), Bytes{}) << "no replay on a connection made on demand";
  EXPECT_EQ(f.nextOutput(), kConnected);
  EXPECT_FALSE(f.peer().timerRunning());
  f.forward(" {\"type\" : \"x\"} ", "x");
  EXPECT_EQ(connection->readFrame(), tests::bytesOf(" {\"type\" : \"x\"} "));
}

TEST(RelayForwardTest, AFailedWriteDropsTheConnectionAndTheNextMessageConnectsAnew) {
  RelayFixture f;
  FakeApp app(f.socketPath);
  f.relay->start();
  ASSERT_EQ(f.nextOutput(), kConnected);
  f.forward(R"({"type":"hello"})", "hello");
  auto first = app.accept();
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->readFrame());
  // The application stops reading: the reader sees no end of stream, but the
  // next write fails.
  ASSERT_EQ(::shutdown(first->fd(), SHUT_RD), 0);
  f.forward(R"({"type":"lost"})", "lost");
  EXPECT_EQ(f.nextOutput(), kUnavailable);
  EXPECT_EQ(f.peer().fd(), -1);
  EXPECT_EQ(f.peer().hello(), R"({"type":"hello"})");
  EXPECT_TRUE(tests::readsEndOfStream(first->fd())) << "the host closed its end";
  f.forward(R"({"type":"next"})", "next");
  auto second = app.accept();
  ASSERT_TRUE(second);
  EXPECT_EQ(textOf(second->readFrame()), R"({"type":"next"})");
  EXPECT_EQ(f.nextOutput(), kConnected);
}

TEST(RelayConnectTest, SocketPathsUpTo103BytesAreTried) {
  tests::TempDir dir;
  const std::string prefix = dir.path() + "/";
  const std::string fits = prefix + std::string(103 - prefix.size(), 'p');
  const std::string tooLong = prefix + std::string(104 - prefix.size(), 'q');
  ASSERT_EQ(fits.size(), 103u);
  FakeApp fitting(fits);
  FakeApp refused(tooLong);
  ASSERT_TRUE(fitting.listening());
  ASSERT_TRUE(refused.listening());

  RelayFixture ok(1h, fits);
  ok.relay->start();
  EXPECT_EQ(ok.nextOutput(), kConnected);
  RelayFixture tooLongRelay(1h, tooLong);
  tooLongRelay.relay->start();
  EXPECT_EQ(tooLongRelay.nextOutput(), kUnavailable);
  EXPECT_FALSE(refused.hasPendingConnection(100ms));
}

TEST(RelayConnectTest, AnEmptyPathNeverReachesAnAbstractSocket) {
  // On Linux, a zero-filled address of full length names this socket.
  const int squatter = openUnixStreamSocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const bool bound = ::bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(squatter, 4) == 0;
  RelayFixture f;
  auto relay = Relay::create({.socketPath = "", .outputFd = f.outputWrite});
  relay->start();
  EXPECT_EQ(f.nextOutput(), kUnavailable);
  relay->forward(Payload::copyOf(std::string_view("{\"type\":\"hello\"}")), "hello");
  if (bound) {
    EXPECT_FALSE(tests::waitReadable(squatter, 100ms)) << "connected to a stranger";
  }
  ::close(squatter);
}

// Reading the application socket.
class RelayReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    f_.relay->start();
    ASSERT_EQ(f_.nextOutput(), kConnected);
    f_.forward("{}", std::nullopt);  // makes the connection visible to the app
    auto connection = app_.accept();
    ASSERT_TRUE(connection);
    connection_ = std::move(*connection);
    ASSERT_TRUE(connection_.readFrame());
  }
  void send(const Bytes& bytes) { ASSERT_TRUE(connection_.send(bytes)); }
  static Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  RelayFixture f_;
  FakeApp app_{f_.socketPath};
  AppConnection connection_{-1};
};

TEST_F(RelayReaderTest, FramesSplitAcrossReadsArriveWhole) {
  const Bytes frame = frameOf(R"({"from":"app"})");
  for (std::size_t split : {1u, 3u, 9u}) {
    send(Bytes(frame.begin(), frame.begin() + split));
    EXPECT_TRUE(f_.outputQuiet(100ms)) << "nothing is written before the frame is whole";
    send(Bytes(frame.begin() + split, frame.end()));
    EXPECT_EQ(f_.nextOutput(), R"({"from":"app"})");
  }
  EXPECT_TRUE(f_.outputQuiet(50ms));
}

TEST_F(RelayReaderTest, SeveralFramesInOneReadAndATrailingPart) {
  const Bytes last = frameOf("last");
  send(concat(
      {frameOf("one"), frameOf(""), frameOf("three"), Bytes(last.begin(), last.begin() + 5)}));
  EXPECT_EQ(f_.nextOutput(), "one");
  EXPECT_EQ(f_.nextOutput(), "");
  EXPECT_EQ(f_.nextOutput(), "three");
  ASSERT_TRUE(waitUntil([&] { return f_.peer().incomingSize() == 5; }));
  send(Bytes(last.begin() + 5, last.end()));
  EXPECT_EQ(f_.nextOutput(), "last");
}

TEST_F(RelayReaderTest, AFrameOfExactlyTheLimitIsRelayed) {
  const std::string big(static_cast<std::size_t>(kMaxMessageLength), 'm');
  const Bytes frame = frameOf(big);
  send(Bytes(frame.begin(), frame.end() - 1));
  ASSERT_TRUE(waitUntil([&] { return f_.peer().incomingSize() == frame.size() - 1; }));
  EXPECT_EQ(f_.peer().incomingSize(), static_cast<std::size_t>(kMaxMessageLength) + 3);
  send(Bytes(frame.end() - 1, frame.end()));
  EXPECT_EQ(f_.nextOutput(), big);
}

TEST_F(RelayReaderTest, AnOverLongLengthDropsTheConnectionAfterTheFramesAheadOfIt) {
  send(concat({frameOf("ahead"), Bytes{0x01, 0x00, 0x10, 0x00}, frameOf("behind")}));
  EXPECT_EQ(f_.nextOutput(), "ahead");
  EXPECT_EQ(f_.nextOutput(), kUnavailable);
  EXPECT_TRUE(tests::readsEndOfStream(connection_.fd()));
  EXPECT_TRUE(f_.outputQuiet(100ms)) << "bytes after the over-long header are discarded";
  EXPECT_TRUE(f_.peer().timerRunning());
}

TEST_F(RelayReaderTest, AllOnesHeaderIsTooLongNotNegative) {
  send(Bytes{0xff, 0xff, 0xff, 0xff});
  EXPECT_EQ(f_.nextOutput(), kUnavailable);
  EXPECT_EQ(f_.peer().fd(), -1);
}

TEST_F(RelayReaderTest, ClosingWithAPartialFramePendingDiscardsIt) {
  const Bytes frame = frameOf("never whole");
  send(Bytes(frame.begin(), frame.begin() + 7));
  ASSERT_TRUE(waitUntil([&] { return f_.peer().incomingSize() == 7; }));
  connection_.close();
  EXPECT_EQ(f_.nextOutput(), kUnavailable);
  EXPECT_EQ(f_.peer().incomingSize(), 0u);
  EXPECT_TRUE(f_.outputQuiet(50ms));
}

TEST_F(RelayReaderTest, AStaleHandlerLeavesTheCurrentConnectionAlone) {
  send(Bytes{0x05, 0x00});
  ASSERT_TRUE(waitUntil([&] { return f_.peer().incomingSize() == 2; }));
  const int current = f_.peer().fd();
  f_.peer().handleReadable(current + 1);  // a descriptor from an older connection
  EXPECT_EQ(f_.peer().fd(), current);
  EXPECT_EQ(f_.peer().incomingSize(), 2u);
  send(Bytes{0x00, 0x00, 'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(f_.nextOutput(), "hello");
}

TEST_F(RelayReaderTest, ABurstOfManySmallFramesIsRelayedInOrder) {
  Bytes burst;
  constexpr int kFrames = 20000;  // several 64 KiB reads
  for (int i = 0; i < kFrames; ++i) {
    const Bytes frame = frameOf(std::to_string(i));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  std::thread sender([&] { connection_.send(burst); });
  for (int i = 0; i < kFrames; ++i) {
    auto next = f_.nextOutput();
    ASSERT_EQ(next, std::to_string(i));
  }
  sender.join();
}

TEST_F(RelayReaderTest, EveryFrameLeftInAClosedApplicationsSocketIsRelayed) {
  // An application that wrote more than 4 MiB and closed before the host
  // read it: the browser's next message fails to go out, and everything the
  // application completed must still reach the browser.
  f_.peer().suspendReader();
  const int app = connection_.fd();
  // Both ends' buffers, as far as the system lets a user raise them.
  for (const auto& [fd, option] : {std::pair{app, SO_SNDBUF}, {f_.peer().fd(), SO_RCVBUF}}) {
    for (int wanted = 64 * 1048576; wanted > 65536; wanted /= 2) {
      if (::setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted) == 0) break;
    }
  }
  std::vector<std::string> payloads;
  std::size_t sent = 0;
  for (std::size_t i = 0; sent < std::size_t{16} * 1048576; ++i) {
    std::string payload = std::to_string(i) + ":";
    payload.resize(65536, 'f');
    const Bytes frame = frameOf(payload);
    const ssize_t n = ::send(app, frame.data(), frame.size(), MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
    if (n != static_cast<ssize_t>(frame.size())) break;  // a cut frame is never relayed
    payloads.push_back(std::move(payload));
  }
  if (payloads.size() * 65540 < std::size_t{9} * 1048576 / 2) {
    GTEST_SKIP() << "the system lets a socket hold only " << sent
                 << " bytes (on Linux, net.core.wmem_max); more than 4 MiB are needed";
  }
  connection_.close();

  std::thread browser([&] { f_.forward(R"({"type":"after"})", std::nullopt); });
  std::vector<std::string> relayed;
  while (std::optional<std::string> next = f_.nextOutput()) {
    relayed.push_back(std::move(*next));
    if (relayed.back() == kUnavailable) break;
  }
  browser.join();  // nothing more is written to the pipe
  payloads.emplace_back(kUnavailable);
  EXPECT_EQ(relayed.size(), payloads.size());
  EXPECT_TRUE(relayed == payloads) << "frames lost, altered or out of order";
}

// A packet socket as the browser's end keeps every write apart, so that the
// test sees how the frames were grouped into writes.
TEST(RelayOutputTest, TheFramesThatOneReadCompletesLeaveInOneWrite) {
  int browser[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, browser), 0);
  ASSERT_TRUE(setCloseOnExec(browser[0]) && setCloseOnExec(browser[1]));
  tests::TempDir dir;
  FakeApp app(dir.file("app.sock"));
  auto relay =
      Relay::create({.socketPath = dir.file("app.sock"), .outputFd = browser[1], .inputFd = -1});
  relay->start();
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  const auto nextWrite = [&]() -> std::optional<Bytes> {
    if (!tests::waitReadable(browser[0], tests::kDeadline)) return std::nullopt;
    Bytes record(65536);
    const ssize_t n = ::recv(browser[0], record.data(), record.size(), 0);
    if (n < 0) return std::nullopt;
    record.resize(static_cast<std::size_t>(n));
    return record;
  };
  EXPECT_EQ(nextWrite(), frameOf(kConnected));

  Bytes three;
  for (const char* payload : {"one", "", "three"}) {
    const Bytes frame = frameOf(payload);
    three.insert(three.end(), frame.begin(), frame.end());
  }
  const Bytes last = frameOf("last");
  Bytes sent = three;
  sent.insert(sent.end(), last.begin(), last.begin() + 5);
  ASSERT_TRUE(connection->send(sent));
  EXPECT_EQ(nextWrite(), three) << "whole and in order, in one write; the partial frame waits";
  ASSERT_TRUE(connection->send(Bytes(last.begin() + 5, last.end())));
  EXPECT_EQ(nextWrite(), last);

  relay.reset();
  ::close(browser[0]);
  ::close(browser[1]);
}

// The browser closes the host's input and reads on, slowly, from an output
// handed over non-blocking (as some launchers hand it): a write to it waits
// as long as the browser takes, and the frames arrive whole. A write given
// up part-way would cut a frame, and the next would be read as its rest.
TEST(RelayOutputTest, ABrowserThatClosesTheInputAndReadsSlowlyGetsEveryFrameWhole) {
  int output[2];
  int input[2];
  ASSERT_TRUE(openPipe(output) && openPipe(input) && setNonBlocking(output[1]));
  tests::TempDir dir;
  FakeApp app(dir.file("app.sock"));
  auto relay = Relay::create(
      {.socketPath = dir.file("app.sock"), .outputFd = output[1], .inputFd = input[0]});
  relay->start();
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  ASSERT_EQ(textOf(tests::readFrame(output[0])), kConnected);

  std::vector<Bytes> frames;
  for (const char fill : {'a', 'b', 'c', 'd'}) {
    frames.push_back(frameOf(std::string(std::size_t{1} << 20, fill)));
  }
  ASSERT_TRUE(connection->send(frames[0]));
  EXPECT_TRUE(waitUntil([&] { return tests::pendingBytes(output[0]) >= tests::kQueuedBytes; }));
  ::close(input[1]);

  // About 400 kB/s, for longer than any grace the relay might give a write
  // once the input is gone; then the other frames, read as fast as they come.
  Bytes received;
  Bytes chunk(65536);
  const auto readSome = [&](std::size_t most) {
    const ssize_t n = ::read(output[0], chunk.data(), most);
    if (n > 0) received.insert(received.end(), chunk.begin(), chunk.begin() + n);
  };
  for (const auto slowUntil = std::chrono::steady_clock::now() + 1500ms;
       std::chrono::steady_clock::now() < slowUntil;) {
    if (tests::waitReadable(output[0], 10ms)) readSome(4096);
    std::this_thread::sleep_for(10ms);
  }
  std::thread application([&] {
    for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_TRUE(connection->send(frames[i]));
  });
  Bytes sent;
  for (const Bytes& frame : frames) sent.insert(sent.end(), frame.begin(), frame.end());
  while (received.size() < sent.size() && tests::waitReadable(output[0], 2s)) {
    readSome(chunk.size());
  }
  application.join();
  const auto same = std::mismatch(received.begin(), received.end(), sent.begin(), sent.end());
  EXPECT_TRUE(received == sent) << received.size() << " bytes read, the first "
                                << (same.first - received.begin()) << " as sent";
  relay.reset();
  for (const int fd : {output[0], output[1], input[0]}) ::close(fd);
}

}  // namespace
}  // namespace ostrel
