#include "watchdog.h"

#include <signal.h>

namespace ostrel::bench {

Watchdog::Watchdog(const common::ChildProcess& child, std::chrono::seconds limit)
    : thread_([this, &child, limit] {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return cancelled_; })) {
          fired_ = true;
          child.signal(SIGKILL);
        }
      }) {}

bool Watchdog::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  return fired_;
}

}  // namespace ostrel::bench
