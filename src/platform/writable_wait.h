#ifndef OSTREL_PLATFORM_WRITABLE_WAIT_H_
#define OSTREL_PLATFORM_WRITABLE_WAIT_H_

// Waiting until a descriptor can take more bytes (the application socket,
// or standard output) while the browser may go away meanwhile: the host's
// input is watched for a hang-up (the writing end of a pipe closed, or a
// socket shut down for writing) without being read, so nothing waiting
// there is taken. Once the input has hung up, a wait lasts at most a grace
// period longer, counted from the moment the hang-up was first seen, so a
// peer that never reads cannot keep a host alive whose browser is gone.
//
// Linux waits in poll(2), asking for POLLRDHUP on the input. Apple systems
// wait in a kqueue: the input's EVFILT_READ with EV_CLEAR, whose EV_EOF is
// the hang-up even while data remains unread (poll there cannot tell the
// two apart), beside the descriptor's EVFILT_WRITE.
//
// It does not write and does not read; it holds no descriptor between
// calls. Several threads may wait at once, each with its own InputWatch.

#include <chrono>
#include <optional>

namespace ostrel {

struct InputWatch {
  using Clock = std::chrono::steady_clock;

  // The browser's end of the host's input; -1 watches nothing.
  int fd = -1;
  // How long a wait may still last once the input has hung up.
  Clock::duration grace{};
  // When the hang-up was first seen. Set by waitWritable(); a caller that
  // waits again (or on another descriptor) passes it back in, so that the
  // grace is counted once.
  std::optional<Clock::time_point> closedAt;
};

// Returns true once `fd` can take more bytes or has failed (the next write
// then says how), false when the grace after the input's hang-up has run
// out or the wait itself failed. Interruptions by signals are waited out.
bool waitWritable(int fd, InputWatch& input);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WRITABLE_WAIT_H_
