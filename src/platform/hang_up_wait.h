#ifndef OSTREL_PLATFORM_HANG_UP_WAIT_H_
#define OSTREL_PLATFORM_HANG_UP_WAIT_H_

// Waiting, without reading, for the browser to close the host's input (the
// writing end of a pipe closed by every writer, or a socket shut down for
// writing), or for a word from the host's own code on a second descriptor.
// Data that arrives on the input meanwhile does not end the wait, and
// nothing waiting there is taken.
//
// Linux waits in poll(2), asking only for POLLRDHUP on the input (a pipe
// whose writers are all gone raises POLLHUP, which comes unasked), so data
// never wakes it. Apple systems wait in a kqueue, where the input's
// EVFILT_READ reports EV_EOF even while data remains unread; its low-water
// mark is set as high as the system takes, so that arriving data wakes the
// wait only when the input's buffer is full.
//
// It holds no descriptor between calls.

namespace ostrel {

// Returns true once `input` has hung up or `wake` has become readable
// (`input` -1: only `wake` is waited for). False when the wait itself
// failed. Interruptions by signals are waited out.
bool waitForHangUp(int input, int wake);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_HANG_UP_WAIT_H_
