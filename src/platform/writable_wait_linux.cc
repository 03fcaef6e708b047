// Linux: one poll(2) on the descriptor and the input. POLLRDHUP reports a
// socket whose peer has shut down writing or closed; a pipe whose writers
// are all gone raises POLLHUP, which comes unasked.
#include <poll.h>

#include <cerrno>

#include "platform/writable_wait.h"

namespace ostrel {

bool waitWritable(int fd, InputWatch& input) {
  using Clock = InputWatch::Clock;
  for (;;) {
    const int watchedInput = input.closedAt ? -1 : input.fd;  // negative: ignored by poll
    pollfd watched[2] = {{fd, POLLOUT, 0}, {watchedInput, POLLRDHUP, 0}};
    int timeout = -1;
    if (input.closedAt) {
      const Clock::duration left = *input.closedAt + input.grace - Clock::now();
      timeout = left <= Clock::duration::zero()
                    ? 0
                    : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    const int ready = ::poll(watched, 2, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (watched[0].revents != 0) return true;
    if (ready == 0 && timeout >= 0) return false;
    if (watched[1].revents != 0) input.closedAt = Clock::now();
  }
}

}  // namespace ostrel
