// Linux: one poll(2), with no timeout, on the input and the wake-up
// descriptor.
#include <poll.h>

#include <cerrno>

#include "platform/hang_up_wait.h"

namespace ostrel {

bool waitForHangUp(int input, int wake) {
  pollfd watched[2] = {{input, POLLRDHUP, 0}, {wake, POLLIN, 0}};  // a negative fd is ignored
  for (;;) {
    const int ready = ::poll(watched, 2, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace ostrel
