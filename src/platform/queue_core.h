#ifndef OSTREL_PLATFORM_QUEUE_CORE_H_
#define OSTREL_PLATFORM_QUEUE_CORE_H_

// The machinery behind EventThread, ReadSource and TimerSource: one thread,
// one poll loop, and the event sources registered with it. Private to the
// platform layer.

#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace ostrel::detail {

using Clock = std::chrono::steady_clock;
using Handler = std::shared_ptr<const std::function<void()>>;

// One event source attached to a queue: a descriptor watched for
// readability, or a timer. All fields are guarded by the owning queue's
// mutex; handlers are copied out under it and run without it.
struct Registration {
  int fd = -1;  // read sources: the watched descriptor
  bool isTimer = false;
  Handler eventHandler;
  Handler cancelHandler;
  bool suspended = true;  // sources are created inactive
  bool cancelled = false;
  // Timers only.
  Clock::time_point nextFire{};
  Clock::duration interval{};
  bool scheduled = false;

  bool active() const { return !suspended && !cancelled; }
};

class QueueCore : public std::enable_shared_from_this<QueueCore> {
 public:
  explicit QueueCore(std::string label);
  ~QueueCore();

  // Starts the queue's thread unless it runs already. False when it cannot
  // run: no wake-up pipe, or the system refused a new thread.
  bool start() EXCLUDES(mutex_);

  void attach(const std::shared_ptr<Registration>& source) EXCLUDES(mutex_);

  // Runs `change` on a registration under the queue's lock, then lets the
  // loop look at the sources anew.
  void update(const std::function<void(Registration&)>& change, Registration& source)
      EXCLUDES(mutex_);

  // Ends the loop (see EventThread's destructor).
  void stop() EXCLUDES(mutex_);

 private:
  void run() EXCLUDES(mutex_);
  bool startThreadIfNeeded() REQUIRES(mutex_);
  void wake() REQUIRES(mutex_);
  bool runOneCancellation() REQUIRES(mutex_);
  void waitForEvents() REQUIRES(mutex_);
  void fireDueTimers() REQUIRES(mutex_);
  int pollTimeoutMs(Clock::time_point now) const REQUIRES(mutex_);
  void invoke(const Handler& handler) REQUIRES(mutex_);
  void drainWakeups() REQUIRES(mutex_);

  const std::string label_;
  int wakeRead_ = -1;  // constant after construction; -1 when the pipe could not be made
  int wakeWrite_ = -1;

  Mutex mutex_;
  std::vector<std::shared_ptr<Registration>> sources_ GUARDED_BY(mutex_);
  bool threadStarted_ GUARDED_BY(mutex_) = false;
  bool polling_ GUARDED_BY(mutex_) = false;
  bool wakePending_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
  std::thread::id threadId_;
  // Used by the queue's thread alone, kept to spare an allocation per wait.
  std::vector<pollfd> pollSet_;
  std::vector<std::shared_ptr<Registration>> watched_;
};

}  // namespace ostrel::detail

#endif  // OSTREL_PLATFORM_QUEUE_CORE_H_
