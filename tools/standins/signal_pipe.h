#ifndef OSTREL_TOOLS_STANDINS_SIGNAL_PIPE_H_
#define OSTREL_TOOLS_STANDINS_SIGNAL_PIPE_H_

// Turns SIGINT, SIGTERM, SIGHUP and SIGCHLD into bytes on a pipe that an
// event loop can poll, so that Ctrl-C and a child's end are handled in the
// loop rather than inside a signal handler. Also ignores SIGPIPE, so that a
// peer going away shows up as a failed write. One per process.

namespace ostrel::standins {

class SignalPipe {
 public:
  // Installs the handlers. False (with errno set) when the pipe cannot be made.
  bool install();

  // The descriptor to poll for reading.
  int fd() const { return readFd_; }

  // Empties the pipe. Returns true when a stop was asked (SIGINT, SIGTERM or
  // SIGHUP); `childEnded` is set when SIGCHLD arrived.
  bool drain(bool& childEnded) const;

 private:
  int readFd_ = -1;
};

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_SIGNAL_PIPE_H_
