#ifndef OSTREL_TOOLS_APPCHECK_EVENT_LOOP_H_
#define OSTREL_TOOLS_APPCHECK_EVENT_LOOP_H_

// The one thread of the checker serves every process it runs: while it
// waits for a condition, with a deadline, it reads whatever they write, so
// that none of them blocks on a full pipe, and writes what is queued for
// their input. With no other thread, fork() stays safe to use. It does not
// own what it serves.

#include <poll.h>

#include <chrono>
#include <functional>
#include <span>
#include <vector>

namespace ostrel::appcheck {

using std::chrono::milliseconds;

// Something with descriptors to serve.
class Watched {
 public:
  virtual ~Watched() = default;
  // Appends the descriptors to watch now, with their events.
  virtual void watch(std::vector<pollfd>& into) = 0;
  // Handles the same entries, as poll() left them.
  virtual void serve(std::span<const pollfd> mine) = 0;
};

class EventLoop {
 public:
  void add(Watched* watched);
  void remove(Watched* watched);

  // Serves everything until `done()` holds (true) or `timeout` has passed
  // (false). `done()` is asked at least every few milliseconds, so it may
  // also look at what no descriptor tells (a file appearing, a process
  // ending).
  bool runUntil(const std::function<bool()>& done, milliseconds timeout);

 private:
  std::vector<Watched*> watched_;
};

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_EVENT_LOOP_H_
