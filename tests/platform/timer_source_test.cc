#include "platform/timer_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/event_thread.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using tests::waitUntil;

std::unique_ptr<TimerSource> makeTimer(std::atomic<int>& ticks,
                                       std::chrono::milliseconds interval) {
  auto queue = std::make_shared<EventThread>("ostrel.test.timer");
  auto timer = std::make_unique<TimerSource>(queue);
  timer->schedule(interval, interval);
  timer->setEventHandler([&ticks] { ++ticks; });
  return timer;
}

TEST(TimerSourceTest, TicksOnlyWhileResumed) {
  std::atomic<int> ticks{0};
  auto timer = makeTimer(ticks, 10ms);
  std::this_thread::sleep_for(50ms);  // time for ticks that must not come
  EXPECT_EQ(ticks, 0) << "a new timer delivers nothing until resumed";

  EXPECT_TRUE(timer->resume());
  ASSERT_TRUE(waitUntil([&] { return ticks >= 3; }));
  timer->suspend();
  const int atSuspend = ticks;
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(ticks, atSuspend + 1);  // at most one tick already under way

  EXPECT_TRUE(timer->resume());
  ASSERT_TRUE(waitUntil([&] { return ticks >= atSuspend + 3; }));
}

TEST(TimerSourceTest, StopsWhenCancelled) {
  std::atomic<int> ticks{0};
  auto timer = makeTimer(ticks, 10ms);
  EXPECT_TRUE(timer->resume());
  ASSERT_TRUE(waitUntil([&] { return ticks >= 1; }));
  timer->cancel();
  const int atCancel = ticks;
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(ticks, atCancel + 1);
}

TEST(TimerSourceTest, FirstTickComesAfterTheFirstDeadline) {
  std::atomic<int> ticks{0};
  auto queue = std::make_shared<EventThread>("ostrel.test.deadline");
  TimerSource timer(queue);
  const auto started = std::chrono::steady_clock::now();
  std::atomic<std::int64_t> firstTickMs{-1};
  timer.schedule(200ms, 10s);
  timer.setEventHandler([&] {
    if (ticks++ == 0) {
      firstTickMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    }
  });
  timer.resume();
  ASSERT_TRUE(waitUntil([&] { return ticks >= 1; }));
  EXPECT_GE(firstTickMs, 200);
}

}  // namespace
}  // namespace ostrel
