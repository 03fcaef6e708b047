#ifndef OSTREL_PLATFORM_TIMER_SOURCE_H_
#define OSTREL_PLATFORM_TIMER_SOURCE_H_

// TimerSource runs its handler on a SerialQueue at a first deadline and then
// at every interval after it, while resumed.
//
// Contract:
//  - It is created suspended: nothing is delivered until the first resume().
//    resume() and suspend() must alternate, beginning with resume(); a call
//    out of turn is refused (returns false) and changes nothing.
//  - Ticks fall on the marks first deadline + k * interval, up to `leeway`
//    late. Marks that pass while the timer is suspended, or while a tick's
//    handler is still running, are not delivered afterwards: the next tick
//    comes at the next mark.
//  - A suspended timer costs no wake-ups at all.
//  - cancel() may be called from any thread; after it no new tick begins, and
//    a tick already running is not interrupted. Destroying a timer cancels
//    it.
//  - The timer holds its queue: the queue lives as long as the timer.

#include <chrono>
#include <functional>
#include <memory>

namespace ostrel {

class SerialQueue;
namespace detail {
class QueueCore;
struct Registration;
}  // namespace detail

class TimerSource {
 public:
  explicit TimerSource(std::shared_ptr<SerialQueue> queue);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  void schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval,
                std::chrono::nanoseconds leeway);
  void setEventHandler(std::function<void()> handler);
  bool resume();
  bool suspend();
  void cancel();

 private:
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<detail::Registration> registration_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TIMER_SOURCE_H_
