#include "host/lifeline.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/descriptors.h"
#include "platform/hang_up_wait.h"
#include "platform/thread_name.h"

namespace ostrel {

bool Lifeline::start() {
  int ends[2];
  if (!openPipe(ends)) return false;
  const int watched = isPipeOrSocket(input_) ? input_ : -1;
  // The thread holds plain values only, never the Lifeline.
  const auto watch = [watched, wake = ends[0], grace = grace_] {
    setCurrentThreadName("ostrel.native-host.lifeline");
    // A wait that failed leaves the host as it would be without a lifeline.
    if (!waitForHangUp(watched, wake)) return;
    std::this_thread::sleep_for(grace);
    ::_exit(0);  // not exit(): the threads still running may hold what it would tear down
  };
  try {
    std::thread(watch).detach();
  } catch (const std::system_error&) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  wakeWrite_ = ends[1];
  return true;
}

void Lifeline::endSoon() const {
  if (wakeWrite_ < 0) return;
  const char byte = 0;
  ssize_t n;
  do {
    n = ::write(wakeWrite_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  // Should the byte not go (it cannot, short of a full pipe, which takes
  // many calls), the input's hang-up still wakes the thread.
}

}  // namespace ostrel
