#ifndef OSTREL_PLATFORM_QUEUE_CORE_H_
#define OSTREL_PLATFORM_QUEUE_CORE_H_

// The machinery behind SerialQueue, ReadSource and TimerSource: one thread,
// one poll loop, and the event sources registered with it. Private to the
// platform layer.

#include <atomic>
#include <chrono>
#include <deque>
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
  int suspendCount = 1;  // created inactive; active at zero
  bool cancelled = false;
  // Timers only.
  Clock::time_point nextFire{};
  Clock::duration interval{};
  Clock::duration leeway{};
  bool scheduled = false;

  bool active() const { return suspendCount == 0 && !cancelled; }
};

class QueueCore : public std::enable_shared_from_this<QueueCore> {
 public:
  explicit QueueCore(std::string label);
  ~QueueCore();

  const std::string& label() const { return label_; }
  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

  void async(std::function<void()> work) EXCLUDES(mutex_);
  void attach(const std::shared_ptr<Registration>& source) EXCLUDES(mutex_);

  // Runs `change` on a registration under the queue's lock, then lets the
  // loop look at the sources anew.
  void update(const std::function<void(Registration&)>& change, Registration& source)
      EXCLUDES(mutex_);

  // Ends the loop (see SerialQueue's destructor).
  void stop() EXCLUDES(mutex_);

 private:
  void run() EXCLUDES(mutex_);
  void startThreadIfNeeded() REQUIRES(mutex_);
  void wake() REQUIRES(mutex_);
  bool runQueuedWork() REQUIRES(mutex_);
  bool runOneCancellation() REQUIRES(mutex_);
  void waitForEvents() REQUIRES(mutex_);
  int pollTimeoutMs(Clock::time_point now) const REQUIRES(mutex_);
  void invoke(const Handler& handler) REQUIRES(mutex_);
  void drainWakeups() REQUIRES(mutex_);

  const std::string label_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<std::thread::id> threadId_{};

  Mutex mutex_;
  std::deque<std::function<void()>> work_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Registration>> sources_ GUARDED_BY(mutex_);
  bool threadStarted_ GUARDED_BY(mutex_) = false;
  bool polling_ GUARDED_BY(mutex_) = false;
  bool wakePending_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
  // Used by the queue's thread alone, kept to spare an allocation per wait.
  std::vector<struct pollfd> pollSet_;
  std::vector<std::shared_ptr<Registration>> watched_;
};

}  // namespace ostrel::detail

#endif  // OSTREL_PLATFORM_QUEUE_CORE_H_
