#include "platform/writable_wait.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "platform/descriptors.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using Clock = InputWatch::Clock;

// A connected pair of sockets; `writer` is non-blocking and its buffer is
// full, as when a peer does not read.
struct FullSocket {
  int writer = -1;
  int reader = -1;
  FullSocket() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    writer = ends[0];
    reader = ends[1];
    EXPECT_TRUE(setCloseOnExec(writer) && setCloseOnExec(reader) && setNonBlocking(writer));
    const std::vector<char> chunk(65536, 'x');
    while (::write(writer, chunk.data(), chunk.size()) > 0) {
    }
  }
  ~FullSocket() {
    closeDescriptor(writer);
    closeDescriptor(reader);
  }
};

// The browser's end of an input: a pipe, or a socket as some browsers give.
struct Input {
  int host = -1;     // what the host reads
  int browser = -1;  // what the browser writes
  explicit Input(bool socket) {
    int ends[2];
    if (socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 : openPipe(ends)) {
      host = ends[0];
      browser = ends[1];
    }
  }
  ~Input() {
    closeDescriptor(host);
    closeDescriptor(browser);
  }
};

// waitWritable() on another thread. Should it not have returned by the
// time the result is asked for, the socket is made writable (its reader
// closed), so that the test fails instead of hanging.
class AsyncWait {
 public:
  AsyncWait(FullSocket& socket, InputWatch& input)
      : socket_(socket), result_(std::async(std::launch::async, [&socket, &input] {
          return waitWritable(socket.writer, input);
        })) {}
  ~AsyncWait() { (void)result(); }
  AsyncWait(const AsyncWait&) = delete;
  AsyncWait& operator=(const AsyncWait&) = delete;

  bool returnedWithin(std::chrono::milliseconds time) const {
    return result_.wait_for(time) == std::future_status::ready;
  }
  // The result, or nothing when the wait had to be ended from outside.
  std::optional<bool> result() {
    if (!result_.valid()) return std::nullopt;
    const bool returned = returnedWithin(tests::kDeadline);
    if (!returned) closeDescriptor(socket_.reader);
    const bool writable = result_.get();
    if (!returned) return std::nullopt;
    return writable;
  }

 private:
  FullSocket& socket_;
  std::future<bool> result_;
};

TEST(WritableWaitTest, AnInputThatHangsUpWithDataUnreadEndsTheWaitAfterTheGrace) {
  for (const bool socketInput : {false, true}) {
    SCOPED_TRACE(socketInput ? "socket as input" : "pipe as input");
    FullSocket socket;
    Input input(socketInput);
    ASSERT_GE(socket.writer, 0);
    ASSERT_GE(input.host, 0);
    ASSERT_EQ(::write(input.browser, "frame", 5), 5) << "left unread: not a hang-up by itself";
    if (socketInput) {
      ASSERT_EQ(::shutdown(input.browser, SHUT_WR), 0);
    } else {
      closeDescriptor(input.browser);
    }
    InputWatch watch{.fd = input.host, .grace = 100ms, .closedAt = std::nullopt};
    const Clock::time_point started = Clock::now();
    EXPECT_EQ(AsyncWait(socket, watch).result(), false);
    ASSERT_TRUE(watch.closedAt) << "the hang-up was seen";
    EXPECT_GE(Clock::now() - *watch.closedAt, 100ms) << "the whole grace";
    EXPECT_GE(*watch.closedAt, started);
    char byte;
    EXPECT_EQ(::read(input.host, &byte, 1), 1) << "nothing was taken from the input";

    // The grace is counted once: a later wait ends as soon as it starts.
    EXPECT_EQ(AsyncWait(socket, watch).result(), false);
  }
}

TEST(WritableWaitTest, DataArrivingOnTheInputIsNoHangUpAndRoomEndsTheWait) {
  FullSocket socket;
  Input input(false);
  ASSERT_GE(socket.writer, 0);
  ASSERT_GE(input.host, 0);
  ASSERT_EQ(::write(input.browser, "frame", 5), 5);
  // With no grace at all, data taken for a hang-up would end the wait at once.
  InputWatch watch{.fd = input.host, .grace = 0ms, .closedAt = std::nullopt};
  AsyncWait wait(socket, watch);
  EXPECT_FALSE(wait.returnedWithin(300ms)) << "unread data is no hang-up";
  ASSERT_EQ(::write(input.browser, "more", 4), 4);
  EXPECT_FALSE(wait.returnedWithin(300ms)) << "nor is data arriving";
  ASSERT_TRUE(setNonBlocking(socket.reader));
  char buffer[65536];
  while (::read(socket.reader, buffer, sizeof buffer) > 0) {
  }
  EXPECT_EQ(wait.result(), true) << "room ends the wait";
  EXPECT_FALSE(watch.closedAt);

  // And with room already, it returns at once, the input unwatched.
  InputWatch unwatched;
  EXPECT_TRUE(waitWritable(socket.writer, unwatched));
}

}  // namespace
}  // namespace ostrel
