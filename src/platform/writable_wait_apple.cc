// Apple systems: a kqueue for each wait, watching the descriptor with
// EVFILT_WRITE and the input with EVFILT_READ. The input's filter is
// edge-triggered (EV_CLEAR): data the browser has sent meanwhile wakes the
// wait once per arrival, not for as long as it stays unread, and EV_EOF
// says that its writer has gone, whatever is still waiting to be read.
#include <poll.h>
#include <sys/event.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/descriptors.h"
#include "platform/writable_wait.h"

namespace ostrel {
namespace {

using Clock = InputWatch::Clock;

// What is left of the grace, never negative; nothing while the input has
// not hung up.
std::optional<Clock::duration> graceLeft(const InputWatch& input) {
  if (!input.closedAt) return std::nullopt;
  const Clock::duration left = *input.closedAt + input.grace - Clock::now();
  return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

timespec asTimespec(Clock::duration duration) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  return {.tv_sec = static_cast<time_t>(nanoseconds / 1000000000),
          .tv_nsec = static_cast<long>(nanoseconds % 1000000000)};
}

// Applies `changes` without waiting; each change's own result lands in
// `receipts` (EV_RECEIPT). False when the call itself failed.
bool applyChanges(int queue, struct kevent* changes, int count, struct kevent* receipts) {
  const timespec now{};
  return ::kevent(queue, changes, count, receipts, count, &now) == count;
}

// The input's filter has served its purpose once the hang-up is seen.
void stopWatchingInput(int queue, int input) {
  struct kevent change;
  EV_SET(&change, input, EVFILT_READ, EV_DELETE, 0, 0, nullptr);
  const timespec now{};
  (void)::kevent(queue, &change, 1, nullptr, 0, &now);  // a filter left in place only wakes it
}

// Without a kqueue: poll(2) on the descriptor alone, the input unwatched,
// bounded by what is left of the grace.
bool pollWritableOnly(int fd, InputWatch& input) {
  for (;;) {
    const std::optional<Clock::duration> left = graceLeft(input);
    const int timeout =
        left ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*left).count()) : -1;
    pollfd watched{fd, POLLOUT, 0};
    const int ready = ::poll(&watched, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// Waits on `queue`, where `fd`'s EVFILT_WRITE is registered and, when
// `input` is not -1, the input's EVFILT_READ.
bool waitOnQueue(int queue, int input, InputWatch& watch) {
  for (;;) {
    const std::optional<Clock::duration> left = graceLeft(watch);
    const timespec limit = asTimespec(left.value_or(Clock::duration::zero()));
    struct kevent events[2];
    const int got = ::kevent(queue, nullptr, 0, events, 2, left ? &limit : nullptr);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0 && left) return false;  // the grace has run out
    bool writable = false;
    for (int i = 0; i < got; ++i) {
      if (events[i].filter == EVFILT_WRITE) {
        writable = true;  // room, or EV_EOF/EV_ERROR: the next write tells
      } else if (events[i].filter == EVFILT_READ && (events[i].flags & EV_EOF) != 0 &&
                 !watch.closedAt) {
        watch.closedAt = Clock::now();
        stopWatchingInput(queue, input);
      }
    }
    if (writable) return true;
  }
}

}  // namespace

bool waitWritable(int fd, InputWatch& input) {
  // kqueue() takes no close-on-exec flag: it is set at once. (A kqueue is
  // not inherited by a child process in any case.)
  const int queue = ::kqueue();
  if (queue < 0) return pollWritableOnly(fd, input);
  if (!setCloseOnExec(queue)) {
    ::close(queue);
    return pollWritableOnly(fd, input);
  }
  const int watchedInput = input.closedAt ? -1 : input.fd;
  struct kevent changes[2];
  struct kevent receipts[2];
  int count = 0;
  EV_SET(&changes[count++], fd, EVFILT_WRITE, EV_ADD | EV_RECEIPT, 0, 0, nullptr);
  if (watchedInput >= 0) {
    EV_SET(&changes[count++], watchedInput, EVFILT_READ, EV_ADD | EV_CLEAR | EV_RECEIPT, 0, 0,
           nullptr);
  }
  bool registered = applyChanges(queue, changes, count, receipts);
  bool inputWatched = registered && count == 2;
  for (int i = 0; registered && i < count; ++i) {
    if (receipts[i].data == 0) continue;  // EV_ERROR with 0: this change was made
    if (receipts[i].filter == EVFILT_WRITE) registered = false;
    if (receipts[i].filter == EVFILT_READ) inputWatched = false;  // a device, say: left unwatched
  }
  const bool result = registered ? waitOnQueue(queue, inputWatched ? watchedInput : -1, input)
                                 : pollWritableOnly(fd, input);
  ::close(queue);
  return result;
}

}  // namespace ostrel
