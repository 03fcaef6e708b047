#ifndef OSTREL_DOCTOR_HOST_CHECK_H_
#define OSTREL_DOCTOR_HOST_CHECK_H_

// The host of a registration started as its browser starts it, with the
// environment that browser gives it (a running browser's, or this
// process's where none runs), and what that shows: whether it works,
// where it looks for the application (as it received its environment,
// which a wrapper may have changed), and why nothing answered there.
// Starting it is host_probe's, with its rules on what may be started.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "findings.h"
#include "host_probe.h"
#include "running_browsers.h"
#include "socket_check.h"

namespace ostrel::doctor {

// Where the environment of a started host comes from.
struct Start {
  std::vector<std::string> entries;  // "NAME=value": the running browser's, or this process's
  std::string whose;                 // in words
  const RunningBrowser* browser = nullptr;  // the running browser it is from, if any
};

// The environment `browser` (with the profile folder `userDataDir`, when
// given) passes the hosts it starts: that of a running instance of it,
// else this process's.
Start startOf(const setup::Browser& browser, const std::optional<std::string>& userDataDir,
              const std::vector<RunningBrowser>& running);

struct HostRun {
  setup::ProbeResult result;
  Start start;
  SocketSetting setting{};    // where it looked for the application
  std::string settingFrom{};  // how that is known, in words
  // Where a host started straight with the start's environment would look,
  // when the registered program changed that (a wrapper script).
  std::optional<SocketSetting> changed{};
  std::optional<SocketCheck> socket{};  // why nothing answered there, when it did not
};

// Starts `host`, which the manifest at `manifestPath` names for an
// extension of `family` allowed as `allowed`.
HostRun runHost(const setup::Context& context, const std::string& manifestPath,
                const std::string& host, setup::Family family, const std::string& allowed,
                Start start);

// Why an extension whose browser starts the host so does not reach the
// application, in words naming the cause; nothing when it does, or when
// only the application is not running now.
std::optional<std::string> unreachedBecause(const HostRun& run, std::chrono::milliseconds deadline);

// Everything the run showed, as findings: where it looked, its first
// message, the socket, its errors and its exit.
void reportRun(const HostRun& run, std::chrono::milliseconds deadline, Findings& findings);

// What to do about a browser whose environment leads its hosts away.
extern const char* const kLedAwayAdvice;

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_HOST_CHECK_H_
