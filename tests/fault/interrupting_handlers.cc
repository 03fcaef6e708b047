// Linked into a twin of the host for fault tests: installs do-nothing
// handlers for SIGUSR1 and SIGUSR2 before main() runs, without SA_RESTART,
// so that either signal makes a blocked read, write or poll in any of the
// host's threads fail with EINTR.
#include <signal.h>

namespace {

void ignoreSignal(int) {}

const bool kInstalled = [] {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(SIGUSR1, &action, nullptr) == 0 && sigaction(SIGUSR2, &action, nullptr) == 0;
}();

}  // namespace
