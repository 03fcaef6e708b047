#include "platform/read_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "platform/event_thread.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using tests::waitUntil;

std::shared_ptr<EventThread> startedQueue(const char* label) {
  auto queue = std::make_shared<EventThread>(label);
  EXPECT_TRUE(queue->start());
  return queue;
}

// A pipe whose read end a source watches; the test closes what the source's
// cancel handler has not.
struct WatchedPipe {
  int read = -1;
  int write = -1;
  WatchedPipe() {
    int ends[2];
    if (::pipe(ends) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~WatchedPipe() {
    if (write >= 0) ::close(write);
  }
};

TEST(ReadSourceTest, FiresAgainWhileDataRemainsAndAtEndOfStream) {
  auto queue = startedQueue("ostrel.test.read");
  WatchedPipe pipe;
  ReadSource source(pipe.read, queue);
  std::atomic<int> bytes{0};
  std::atomic<bool> endOfStream{false};
  std::atomic<bool> cancelled{false};
  source.setEventHandler([&] {
    char byte;
    const ssize_t n = ::read(pipe.read, &byte, 1);  // one byte per invocation
    if (n == 1) ++bytes;
    if (n == 0) {
      endOfStream = true;
      source.cancel();  // from its own handler
    }
  });
  source.setCancelHandler([&] {
    EXPECT_EQ(::fcntl(pipe.read, F_GETFD), 0) << "descriptor must still be open";
    ::close(pipe.read);
    cancelled = true;
  });
  source.resume();
  ASSERT_EQ(::write(pipe.write, "abcde", 5), 5);
  ASSERT_TRUE(waitUntil([&] { return bytes == 5; }));
  ::close(pipe.write);
  pipe.write = -1;
  ASSERT_TRUE(waitUntil([&] { return cancelled.load(); }));
  EXPECT_TRUE(endOfStream);
  EXPECT_EQ(bytes, 5);
}

TEST(ReadSourceTest, CancelWaitsForTheRunningInvocationAndStopsFurtherOnes) {
  auto queue = startedQueue("ostrel.test.cancel");
  WatchedPipe pipe;
  ReadSource source(pipe.read, queue);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> invocations{0};
  std::atomic<int> cancelRuns{0};
  std::atomic<bool> handlerReturned{false};
  source.setEventHandler([&] {
    if (++invocations == 1) entered.set_value();
    released.wait();  // data is left unread: without cancel, it would fire again
    handlerReturned = true;
  });
  source.setCancelHandler([&] {
    EXPECT_TRUE(handlerReturned) << "cancel handler ran while an invocation was under way";
    ++cancelRuns;
    ::close(pipe.read);
  });
  source.resume();
  ASSERT_EQ(::write(pipe.write, "x", 1), 1);
  entered.get_future().wait();
  source.cancel();
  source.cancel();  // a second cancel changes nothing
  release.set_value();
  ASSERT_TRUE(waitUntil([&] { return cancelRuns == 1; }));
  EXPECT_EQ(invocations, 1);
}

TEST(ReadSourceTest, StaysInactiveUntilResumedAndCancelsWhenDestroyed) {
  WatchedPipe pipe;
  std::atomic<int> invocations{0};
  std::atomic<bool> closed{false};
  {
    auto queue = startedQueue("ostrel.test.inactive");
    ReadSource source(pipe.read, queue);
    source.setEventHandler([&] { ++invocations; });
    source.setCancelHandler([&] {
      ::close(pipe.read);
      closed = true;
    });
    ASSERT_EQ(::write(pipe.write, "x", 1), 1);
  }  // the queue runs the cancel handler before its thread ends
  EXPECT_TRUE(closed);
  EXPECT_EQ(invocations, 0);
}

}  // namespace
}  // namespace ostrel
