#include "watchdog.h"

namespace ostrel::bench {

Watchdog::Watchdog(Child& child, std::chrono::seconds limit)
    : thread_([this, &child, limit] {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return cancelled_; })) {
          fired_ = true;
          child.kill();
        }
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

}  // namespace ostrel::bench
