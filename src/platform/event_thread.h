#ifndef OSTREL_PLATFORM_EVENT_THREAD_H_
#define OSTREL_PLATFORM_EVENT_THREAD_H_

// EventThread is one thread that runs the handlers of the read and timer
// sources attached to it (read_source.h, timer_source.h), one at a time. It
// waits in poll(2) on the sources' descriptors and a wake-up pipe, with a
// timeout only while a timer is running, so a thread with nothing to do
// sleeps in the kernel and never wakes up on its own. Work reaches it only
// through its sources: there is no way to hand it a task of its own.
//
// Threads: every method may be called from any thread, the thread's own
// included. Lifetime: the thread starts with start(), which its owner calls
// before it resumes a source, and ends when the EventThread is destroyed. Destruction
// runs the cancel handlers of sources already cancelled and joins the thread
// (or, when one of its own handlers destroys it, lets the thread end by
// itself). It does not cancel sources that are still live, and it does not
// interrupt a handler that is running.

#include <memory>
#include <string>

namespace ostrel {

namespace detail {
class QueueCore;
}

class EventThread {
 public:
  // The label names the thread, where the system allows.
  explicit EventThread(std::string label);
  ~EventThread();
  EventThread(const EventThread&) = delete;
  EventThread& operator=(const EventThread&) = delete;

  // Starts the thread unless it runs already. False when it cannot run: its
  // wake-up pipe could not be made, or the system refused a thread (a
  // process limit). Nothing is delivered to sources attached to it then.
  bool start();

 private:
  friend class ReadSource;
  friend class TimerSource;
  std::shared_ptr<detail::QueueCore> core_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_EVENT_THREAD_H_
