#ifndef OSTREL_SETUP_HOST_PROBE_H_
#define OSTREL_SETUP_HOST_PROBE_H_

// Starts a native-messaging host the way a browser does (standard input and
// output on pipes, the browser's arguments, the caller's environment), reads
// the first frame it writes, then closes its input and waits for it to end.
// It sends the host no message and sets no environment variable, so the host
// behaves exactly as it would under a browser at start-up.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "browsers.h"
#include "host_environment.h"

namespace ostrel::setup {

// The arguments a browser of `family` gives the host it starts: the
// extension's origin (Chromium family), or the manifest's path and the
// add-on's id (Firefox).
std::vector<std::string> browserArguments(Family family, const std::string& manifestPath,
                                          const std::string& allowed);

enum class ProbeOutcome {
  kConnected,    // first frame: status, application connected
  kUnavailable,  // first frame: status, application unavailable
  kDidNotStart,  // the program could not be started
  kNoStatus,     // no complete frame before the deadline or the end of output
  kUnexpected,   // a frame arrived, but not a status message
};

struct ProbeResult {
  ProbeOutcome outcome = ProbeOutcome::kNoStatus;
  std::string detail;         // why it did not start, or the unexpected payload
  std::string standardError;  // everything the host wrote there (at most 4 KiB)
  // The exit status once its input closed; nothing when it was killed by a
  // signal or had to be stopped.
  std::optional<int> exitStatus;
  std::string exitDescription;  // "exited with status 0", ...
  // What the host received, read while it ran; nothing when the system
  // does not tell.
  std::optional<ReceivedEnvironment> environment;
};

// `deadline` bounds each wait: for the first frame, and for the exit. The
// host gets `environment` ("NAME=value" each) when given, as a browser
// passes its own, and this process's otherwise.
ProbeResult probeHost(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds deadline,
                      const std::optional<std::vector<std::string>>& environment = std::nullopt);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_HOST_PROBE_H_
