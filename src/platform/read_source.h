#ifndef OSTREL_PLATFORM_READ_SOURCE_H_
#define OSTREL_PLATFORM_READ_SOURCE_H_

// ReadSource watches one descriptor for readability and runs its event
// handler on an EventThread whenever the descriptor has data, has reached end
// of stream or has a pending error.
//
// Contract:
//  - It is inactive until resume(); handlers are set before that. The queue
//    must be running (EventThread::start() returned true) before resume().
//  - Invocations run one at a time on the queue. When one returns while the
//    condition persists (unread data remains, say), another follows: the
//    watch is level-triggered. The handler does the reading; the source
//    never reads.
//  - suspend() and resume() alternate, beginning with resume(). While
//    suspended, no new invocation begins.
//  - cancel() may be called from any thread, a handler of its own included.
//    After it, no new invocation begins; one already under way is not
//    interrupted. The cancel handler then runs once, on the queue, after
//    that invocation has returned, suspended or not.
//  - The source never closes the descriptor. It must stay open until the
//    cancel handler has run, which is where its owner closes it.
//  - Destroying a source cancels it.
//  - The source holds its queue: the queue lives as long as the source.

#include <functional>
#include <memory>

namespace ostrel {

class EventThread;
namespace detail {
struct Registration;
}  // namespace detail

class ReadSource {
 public:
  ReadSource(int fd, std::shared_ptr<EventThread> queue);
  ~ReadSource();
  ReadSource(const ReadSource&) = delete;
  ReadSource& operator=(const ReadSource&) = delete;

  void setEventHandler(std::function<void()> handler);
  void setCancelHandler(std::function<void()> handler);
  void resume();
  void suspend();
  void cancel();

 private:
  std::shared_ptr<EventThread> queue_;
  std::shared_ptr<detail::Registration> registration_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_READ_SOURCE_H_
