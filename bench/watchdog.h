#ifndef OSTREL_BENCH_WATCHDOG_H_
#define OSTREL_BENCH_WATCHDOG_H_

// Kills a contestant that has not finished its run in time, so that a stuck
// contestant fails its run instead of hanging the benchmark: its pipes then
// end and every blocked read or write in the run returns. Cancel it (destroy
// it) before the contestant is reaped.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/common/child_process.h"

namespace ostrel::bench {

class Watchdog {
 public:
  Watchdog(const common::ChildProcess& child, std::chrono::seconds limit);
  ~Watchdog() { cancel(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Stops watching; true when the contestant had been killed already.
  bool cancel();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_WATCHDOG_H_
