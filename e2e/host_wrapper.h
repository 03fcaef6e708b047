#ifndef OSTREL_E2E_HOST_WRAPPER_H_
#define OSTREL_E2E_HOST_WRAPPER_H_

// What the browser starts in the host's place during the test: a shell
// script that records the arguments it was given and its process id, waits
// at a gate (a FIFO) until the test opens it, then runs the host with the
// same arguments and standard streams and records its exit status. The
// browser, not the test, is the host's parent; and holding the host back
// lets the test see what the browser wrote to the host's standard input
// before the host reads any of it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::e2e {

class HostWrapper {
 public:
  // Everything lives in `folder`, which the test owns.
  explicit HostWrapper(std::string folder);
  ~HostWrapper();
  HostWrapper(const HostWrapper&) = delete;
  HostWrapper& operator=(const HostWrapper&) = delete;

  // Writes the script, which runs `host`; until arm(), it runs the host at
  // once, as the setup tool's check of a host path expects.
  bool create(const std::string& host);
  // Makes the gate, and forgets what earlier runs of the script recorded.
  bool arm();
  std::string path() const { return folder_ + "/host-wrapper"; }

  // True once the browser has started the script. `giveUp` is asked at
  // every poll whether waiting is still worthwhile.
  bool awaitStart(std::chrono::milliseconds deadline, const std::function<bool()>& giveUp);

  // The bytes the browser has written to the host's standard input that
  // nobody has read yet; nothing when the pipe cannot be inspected.
  std::optional<int> unreadInput() const;

  // Lets the script go on and start the host.
  bool openGate(std::chrono::milliseconds deadline);

  // The script's process id, once started.
  pid_t pid() const { return pid_; }

  // The arguments the browser gave the script, one per line in order.
  std::vector<std::string> arguments() const;

  // The host's exit status as the shell saw it ("0", "143", ...).
  std::optional<std::string> awaitExit(std::chrono::milliseconds deadline) const;

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int input_ = -1;  // a reader of the host's standard input that never reads
};

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_HOST_WRAPPER_H_
