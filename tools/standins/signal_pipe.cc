#include "signal_pipe.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/descriptors.h"

namespace ostrel::standins {
namespace {

int gWriteFd = -1;

void onSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] ssize_t ignored = ::write(gWriteFd, &byte, 1);
  errno = saved;
}

}  // namespace

bool SignalPipe::install() {
  int fds[2];
  if (!openPipe(fds) || !setNonBlocking(fds[0]) || !setNonBlocking(fds[1])) {
    return false;
  }
  readFd_ = fds[0];
  gWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

bool SignalPipe::drain(bool& childEnded) const {
  bool stop = false;
  char bytes[64];
  ssize_t n;
  while ((n = ::read(readFd_, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < n; ++i) {
      if (bytes[i] == SIGCHLD) {
        childEnded = true;
      } else {
        stop = true;
      }
    }
  }
  return stop;
}

}  // namespace ostrel::standins
