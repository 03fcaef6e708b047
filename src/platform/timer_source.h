#ifndef OSTREL_PLATFORM_TIMER_SOURCE_H_
#define OSTREL_PLATFORM_TIMER_SOURCE_H_

// TimerSource runs its handler on an EventThread at a first deadline and then
// at every interval after it, while resumed.
//
// Contract:
//  - It is created suspended: nothing is delivered until the first resume().
//    resume() and suspend() alternate, beginning with resume(); a call out
//    of turn is a programming error (asserted in debug builds, ignored
//    otherwise).
//  - Ticks fall on the marks first deadline + k * interval; the queue's poll
//    wakes at the mark, rounded up to the millisecond. Marks that pass while
//    the timer is suspended, or while a tick's handler is still running, are
//    not delivered afterwards: the next tick comes at the next mark.
//  - A suspended timer costs no wake-ups at all.
//  - cancel() may be called from any thread; after it no new tick begins, and
//    a tick already running is not interrupted. Destroying a timer cancels
//    it.
//  - The timer holds its queue: the queue lives as long as the timer.

#include <chrono>
#include <functional>
#include <memory>

namespace ostrel {

class EventThread;
namespace detail {
struct Registration;
}  // namespace detail

class TimerSource {
 public:
  explicit TimerSource(std::shared_ptr<EventThread> queue);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  // Starts the thread the ticks run on, unless it runs already. False when
  // it cannot (see EventThread::start()). resume() starts it too, but an
  // owner that must not find it missing later starts it up front.
  bool start();

  void schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval);
  void setEventHandler(std::function<void()> handler);
  // False, and still suspended, when the queue cannot run (see
  // EventThread::start()); a later resume() may succeed.
  bool resume();
  void suspend();
  void cancel();

 private:
  std::shared_ptr<EventThread> queue_;
  std::shared_ptr<detail::Registration> registration_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TIMER_SOURCE_H_
