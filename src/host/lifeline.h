#ifndef OSTREL_HOST_LIFELINE_H_
#define OSTREL_HOST_LIFELINE_H_

// Lifeline keeps a host from outliving its browser. Once the browser has
// closed the host's input (seen without reading it), or once the host has
// begun to end by itself (endSoon()), the process has a grace period to end
// on its own; should it still run then, the lifeline ends it with status 0,
// whatever holds it up: a write to a browser that no longer reads, or the
// relay's lock held by such a write. A frame being written at that moment
// is cut there, and nothing follows it.
//
// It runs on a thread of its own that sleeps in the kernel until one of
// the two happens; it reads nothing, writes nothing to the browser and
// touches no state of the host's. The input is watched only when it is a
// pipe or a socket, the only inputs that report a hang-up; any other input
// leaves the lifeline to endSoon().
//
// Lifetime: made once by the host, started before anything is written, and
// never destroyed while the process runs.

#include <chrono>

namespace ostrel {

class Lifeline {
 public:
  Lifeline(int input, std::chrono::milliseconds grace) : input_(input), grace_(grace) {}
  Lifeline(const Lifeline&) = delete;
  Lifeline& operator=(const Lifeline&) = delete;

  // Starts the thread. False when it cannot: no pipe to wake it, or the
  // system refused a thread.
  bool start();

  // The host has begun to end: from now on the process ends within the
  // grace period. Any thread; more than once changes nothing.
  void endSoon() const;

 private:
  const int input_;
  const std::chrono::milliseconds grace_;
  int wakeWrite_ = -1;  // set by start(); the thread holds the other end
};

}  // namespace ostrel

#endif  // OSTREL_HOST_LIFELINE_H_
