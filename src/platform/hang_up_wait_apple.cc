// Apple systems: a kqueue with the input's EVFILT_READ (edge-triggered,
// EV_CLEAR, with the highest low-water mark, so that only a full buffer or
// the end wakes it) and the wake-up descriptor's EVFILT_READ.
#include <poll.h>
#include <sys/event.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/descriptors.h"
#include "platform/hang_up_wait.h"

namespace ostrel {
namespace {

// Without a kqueue: the wake-up descriptor alone.
bool waitForWakeOnly(int wake) {
  pollfd watched{wake, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&watched, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool waitOnQueue(int queue, int input) {
  for (;;) {
    struct kevent event;
    const int got = ::kevent(queue, nullptr, 0, &event, 1, nullptr);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) continue;
    // The input's filter fires for a hang-up (EV_EOF) and for a full
    // buffer, which only means the host is busy.
    if (static_cast<int>(event.ident) != input || (event.flags & EV_EOF) != 0) return true;
  }
}

}  // namespace

bool waitForHangUp(int input, int wake) {
  // kqueue() takes no close-on-exec flag: it is set at once. (A kqueue is
  // not inherited by a child process in any case.)
  const int queue = ::kqueue();
  if (queue < 0) return waitForWakeOnly(wake);
  if (!setCloseOnExec(queue)) {
    ::close(queue);
    return waitForWakeOnly(wake);
  }
  struct kevent changes[2];
  struct kevent receipts[2];
  int count = 0;
  EV_SET(&changes[count++], wake, EVFILT_READ, EV_ADD | EV_RECEIPT, 0, 0, nullptr);
  if (input >= 0) {
    EV_SET(&changes[count++], input, EVFILT_READ, EV_ADD | EV_CLEAR | EV_RECEIPT, NOTE_LOWAT,
           INT_MAX, nullptr);
  }
  const timespec now{};
  bool registered = ::kevent(queue, changes, count, receipts, count, &now) == count;
  bool inputWatched = registered && count == 2;
  for (int i = 0; registered && i < count; ++i) {
    if (receipts[i].data == 0) continue;  // EV_ERROR with 0: this change was made
    if (static_cast<int>(receipts[i].ident) == wake) registered = false;
    if (static_cast<int>(receipts[i].ident) == input) inputWatched = false;  // a device, say
  }
  const bool result =
      registered ? waitOnQueue(queue, inputWatched ? input : -1) : waitForWakeOnly(wake);
  ::close(queue);
  return result;
}

}  // namespace ostrel
