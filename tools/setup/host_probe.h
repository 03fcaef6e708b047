#ifndef OSTREL_SETUP_HOST_PROBE_H_
#define OSTREL_SETUP_HOST_PROBE_H_

// Starts a native-messaging host the way a browser does (standard input and
// output on pipes, the browser's arguments), reads the first frame it
// writes, then closes its input and waits for it to end. It sends the host
// no message, so the host behaves as it would under a browser at start-up.
//
// It starts only a program that no other user can choose: the manifest that
// names it and the program itself, and every folder above either, must be
// this user's or root's and changeable by no one else (the tools' trusted
// walk, tools/common/trusted_path.h). And the host gets an environment
// built here, of the variables it reads and no other: never a loader
// variable or a search path of another process.

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
  kLeftOut,      // not started: another user could choose what would run
};

struct ProbeResult {
  std::string path;  // the program started
  ProbeOutcome outcome = ProbeOutcome::kNoStatus;
  // No status came because the host closed its output before the
  // deadline (it ended, most likely), not because the deadline passed.
  bool outputEnded = false;
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

// The environment a host is started with: HOME and OSTREL_SOCKET_PATH,
// the only variables it reads, from `source` ("NAME=value" each: a running
// browser's, or this process's) where they are set there, and a PATH of the
// system's own folders for a wrapper script; nothing else.
std::vector<std::string> hostEnvironment(const std::vector<std::string>& source);

// This process's environment, as hostEnvironment() takes it.
std::vector<std::string> ownEnvironment();

// Why the program `host` that the manifest `manifest` names (empty: none
// names it yet) may not be started by this user; empty when it may.
std::string untrustedStart(const std::string& manifest, const std::string& host);

// Starts the host `path` that the manifest at `manifestPath` names. `deadline`
// bounds each wait: for the first frame, and for the exit. The host gets
// hostEnvironment(`environment`), as a browser passes its own.
ProbeResult probeHost(const std::string& manifestPath, const std::string& path,
                      const std::vector<std::string>& arguments, std::chrono::milliseconds deadline,
                      const std::vector<std::string>& environment);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_HOST_PROBE_H_
