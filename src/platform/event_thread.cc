#include "platform/event_thread.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/descriptors.h"
#include "platform/queue_core.h"
#include "platform/thread_name.h"

namespace ostrel {

EventThread::EventThread(std::string label)
    : core_(std::make_shared<detail::QueueCore>(std::move(label))) {}

EventThread::~EventThread() { core_->stop(); }

bool EventThread::start() { return core_->start(); }

namespace detail {

QueueCore::QueueCore(std::string label) : label_(std::move(label)) {
  int ends[2];
  if (openPipe(ends)) {
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
  }
}

QueueCore::~QueueCore() {
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

bool QueueCore::start() {
  MutexLock lock(mutex_);
  return startThreadIfNeeded();
}

void QueueCore::attach(const std::shared_ptr<Registration>& source) {
  MutexLock lock(mutex_);
  sources_.push_back(source);
}

void QueueCore::update(const std::function<void(Registration&)>& change, Registration& source) {
  MutexLock lock(mutex_);
  change(source);
  wake();
}

void QueueCore::stop() {
  std::thread::id running;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    running = threadId_;
    wake();
  }
  if (!thread_.joinable()) return;
  if (running == std::this_thread::get_id()) {
    thread_.detach();  // a handler of this queue let go of it; the loop ends after the handler
  } else {
    thread_.join();
  }
}

bool QueueCore::startThreadIfNeeded() {
  if (threadStarted_) return true;
  if (stopping_ || wakeRead_ < 0) return false;
  try {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  } catch (const std::system_error&) {
    return false;  // a process limit: the caller treats the queue as unable to run
  }
  threadStarted_ = true;
  threadId_ = thread_.get_id();
  return true;
}

// Writes at most one byte per wait: only a thread blocked in poll needs it,
// and the loop looks at every source again after each wait.
void QueueCore::wake() {
  if (!polling_ || wakePending_) return;
  const char byte = 0;
  ssize_t n;
  do {
    n = ::write(wakeWrite_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  wakePending_ = n == 1;
}

void QueueCore::drainWakeups() {
  if (!wakePending_) return;
  char byte;
  ssize_t n;
  do {
    n = ::read(wakeRead_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  wakePending_ = false;
}

// The only place where the queue's lock is let go while a handler runs.
void QueueCore::invoke(const Handler& handler) NO_THREAD_SAFETY_ANALYSIS {
  if (!handler) return;
  Handler keep = handler;
  mutex_.unlock();
  (*keep)();
  keep.reset();
  mutex_.lock();
}

// Each cancelled source leaves the queue exactly once, its cancel handler run
// after any invocation that was under way (the queue is serial).
bool QueueCore::runOneCancellation() {
  const auto it = std::find_if(sources_.begin(), sources_.end(),
                               [](const auto& source) { return source->cancelled; });
  if (it == sources_.end()) return false;
  std::shared_ptr<Registration> source = *it;
  sources_.erase(it);
  Handler onCancel = std::move(source->cancelHandler);
  source->eventHandler.reset();
  invoke(onCancel);
  return true;
}

int QueueCore::pollTimeoutMs(Clock::time_point now) const {
  bool any = false;
  Clock::time_point earliest{};
  for (const auto& source : sources_) {
    if (!source->isTimer || !source->active() || !source->scheduled) continue;
    if (!any || source->nextFire < earliest) earliest = source->nextFire;
    any = true;
  }
  if (!any) return -1;
  if (earliest <= now) return 0;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - now);
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 1 << 30));
}

void QueueCore::waitForEvents() NO_THREAD_SAFETY_ANALYSIS {
  pollSet_.clear();
  watched_.clear();
  pollSet_.push_back({wakeRead_, POLLIN, 0});
  for (const auto& source : sources_) {
    if (source->isTimer || !source->active()) continue;
    pollSet_.push_back({source->fd, POLLIN, 0});
    watched_.push_back(source);
  }
  const int timeout = pollTimeoutMs(Clock::now());

  polling_ = true;
  mutex_.unlock();
  const int ready = ::poll(pollSet_.data(), pollSet_.size(), timeout);
  mutex_.lock();
  polling_ = false;
  drainWakeups();
  if (ready < 0) return;  // interrupted: look at the sources again

  // Data, end of stream and errors all count as readable; the handler finds
  // out which by reading. A source suspended or cancelled meanwhile is
  // skipped.
  for (std::size_t i = 0; i < watched_.size(); ++i) {
    if (pollSet_[i + 1].revents != 0 && watched_[i]->active()) invoke(watched_[i]->eventHandler);
  }
  watched_.clear();
  fireDueTimers();
}

void QueueCore::fireDueTimers() {
  const Clock::time_point now = Clock::now();
  std::vector<std::shared_ptr<Registration>> due;
  for (const auto& source : sources_) {
    if (source->isTimer && source->active() && source->scheduled && source->nextFire <= now) {
      due.push_back(source);
    }
  }
  for (const auto& timer : due) {
    if (!timer->active()) continue;
    if (timer->interval <= Clock::duration::zero()) {
      timer->scheduled = false;  // fires once
    } else {
      // Marks missed while busy collapse into this one tick.
      const auto missed = (now - timer->nextFire) / timer->interval;
      timer->nextFire += timer->interval * (missed + 1);
    }
    invoke(timer->eventHandler);
  }
}

void QueueCore::run() NO_THREAD_SAFETY_ANALYSIS {
  setCurrentThreadName(label_);
  mutex_.lock();
  while (!stopping_) {
    if (runOneCancellation()) continue;
    waitForEvents();
  }
  while (runOneCancellation()) {
  }
  mutex_.unlock();
}

}  // namespace detail
}  // namespace ostrel
