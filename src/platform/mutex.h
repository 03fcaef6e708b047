#ifndef OSTREL_PLATFORM_MUTEX_H_
#define OSTREL_PLATFORM_MUTEX_H_

#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace ostrel {

// A non-recursive mutual-exclusion lock that the thread-safety analysis
// understands. Locking it twice from one thread deadlocks.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  // Waits on `condition`, releasing the lock meanwhile; held again on return.
  void wait(std::condition_variable& condition) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    condition.wait(held);
    held.release();
  }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for the lifetime of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_MUTEX_H_
