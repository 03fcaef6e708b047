// Stands in for an application started by "open_app" that keeps running:
// appends one line to the file named by OSTREL_LINGERING_LOG, "default"
// when every signal it can catch is at its default disposition (SIGCHLD
// without SA_NOCLDWAIT) and none is blocked, "changed" otherwise; then runs
// until every writer of the FIFO named by OSTREL_FAULT_RELEASE has closed it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// Sanitizer runtimes catch these in every process they run in, this one
// included; the host itself leaves them alone.
bool takenBySanitizer(int sig) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  constexpr bool kSanitized = true;
#else
  constexpr bool kSanitized = false;
#endif
#else
  constexpr bool kSanitized = false;
#endif
  return kSanitized && (sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL);
}

bool signalsAtDefault() {
  sigset_t blocked;
  if (::sigprocmask(SIG_SETMASK, nullptr, &blocked) != 0) return false;
  for (int sig = 1; sig < 32; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP || takenBySanitizer(sig)) continue;
    struct sigaction current = {};
    if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_NOCLDWAIT) != 0 || sigismember(&blocked, sig) == 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  const char* log = std::getenv("OSTREL_LINGERING_LOG");
  const char* release = std::getenv("OSTREL_FAULT_RELEASE");
  if (log == nullptr || release == nullptr) return 2;
  const int out = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (out < 0) return 3;
  const std::string line = signalsAtDefault() ? "default\n" : "changed\n";
  const bool whole = ::write(out, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(out);
  const int fifo = ::open(release, O_RDONLY | O_CLOEXEC);
  if (fifo < 0) return 4;
  char byte;
  while (::read(fifo, &byte, 1) > 0) {
  }
  return whole ? 0 : 5;
}
