#ifndef OSTREL_PLATFORM_SERIAL_QUEUE_H_
#define OSTREL_PLATFORM_SERIAL_QUEUE_H_

// SerialQueue runs work one item at a time, in order, on a thread of its
// own: closures given to async(), and the handlers of the read and timer
// sources attached to it (read_source.h, timer_source.h). The thread waits
// in poll(2) on the sources' descriptors and a wake-up pipe, with a timeout
// only while a timer is running, so a queue with nothing to do sleeps in the
// kernel and never wakes up on its own.
//
// Threads: every method may be called from any thread, the queue's own
// included. Lifetime: the thread starts with the first work or active
// source, and ends when the queue is destroyed. Destruction drops queued
// work, runs the cancel handlers of sources already cancelled, and joins the
// thread (or, when the queue's own handler destroys it, lets the thread end
// by itself). It does not cancel sources that are still live, and it does
// not interrupt a handler that is running.

#include <functional>
#include <memory>
#include <string>

namespace ostrel {

namespace detail {
class QueueCore;
}

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // The label names the queue (and its thread, where the system allows);
  // nothing looks it up.
  const std::string& label() const;

  // Runs `work` on the queue after everything queued before it.
  void async(std::function<void()> work);

  // True when called from a handler or work item running on this queue.
  bool isCurrent() const;

 private:
  friend class ReadSource;
  friend class TimerSource;
  std::shared_ptr<detail::QueueCore> core_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SERIAL_QUEUE_H_
