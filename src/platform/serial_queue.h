#ifndef OSTREL_PLATFORM_SERIAL_QUEUE_H_
#define OSTREL_PLATFORM_SERIAL_QUEUE_H_

// SerialQueue runs the handlers of the read and timer sources attached to it
// (read_source.h, timer_source.h) one at a time, on a thread of its own. The
// thread waits in poll(2) on the sources' descriptors and a wake-up pipe,
// with a timeout only while a timer is running, so a queue with nothing to
// do sleeps in the kernel and never wakes up on its own.
//
// Threads: every method may be called from any thread, the queue's own
// included. Lifetime: the thread starts with start(), which the sources call
// when they are resumed, and ends when the queue is destroyed. Destruction
// runs the cancel handlers of sources already cancelled and joins the thread
// (or, when the queue's own handler destroys it, lets the thread end by
// itself). It does not cancel sources that are still live, and it does not
// interrupt a handler that is running.

#include <memory>
#include <string>

namespace ostrel {

namespace detail {
class QueueCore;
}

class SerialQueue {
 public:
  // The label names the queue's thread, where the system allows.
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Starts the queue's thread unless it runs already. False when the queue
  // cannot run: its wake-up pipe could not be made, or the system refused
  // a thread (a process limit). Nothing is delivered on such a queue.
  bool start();

 private:
  friend class ReadSource;
  friend class TimerSource;
  std::shared_ptr<detail::QueueCore> core_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SERIAL_QUEUE_H_
