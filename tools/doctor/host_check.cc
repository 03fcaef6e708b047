#include "host_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/settings.h"
#include "tools/common/paths.h"

namespace ostrel::doctor {
namespace {

using setup::ProbeOutcome;

SocketSetting settingIn(const std::vector<std::string>& entries) {
  return socketSettingFrom(entryValue(entries, kSocketPathVariable), entryValue(entries, "HOME"));
}

// Whether the host can never use the socket as it is: another user's, not
// a socket, or out of this user's reach (an application that is not
// running now stops nobody from connecting).
bool neverReached(const SocketCheck& check) {
  return check.state == SocketState::kOtherUser || check.state == SocketState::kNotSocket ||
         check.state == SocketState::kDenied;
}

std::string shown(const std::string& path) { return path.empty() ? "(no path)" : path; }

std::string inSeconds(std::chrono::milliseconds deadline) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(deadline.count()) / 1000.0);
  return seconds;
}

// Why no status message came, in words that say what the host did
// ("sent no status message within 5.0 seconds").
std::string noStatus(const setup::ProbeResult& result, std::chrono::milliseconds deadline) {
  if (!result.outputEnded) {
    return "sent no status message within " + inSeconds(deadline) + " seconds";
  }
  std::string words =
      "ended its output without a status message, and " +
      (result.exitDescription.empty() ? std::string("ended") : result.exitDescription);
  const std::string& errors = result.standardError;
  if (!errors.empty()) {
    words += "; its first line on standard error: \"" + errors.substr(0, errors.find('\n')) + "\"";
  }
  return words;
}

// What the registered program changed of the environment it was given,
// in words ("sets OSTREL_SOCKET_PATH=/x").
std::string changesOf(const HostRun& run) {
  std::string changes;
  for (const char* name : {kSocketPathVariable, "HOME"}) {
    const char* given = entryValue(run.start.entries, name);
    const char* got = setup::valueIn(*run.result.environment, name);
    if ((given == nullptr) == (got == nullptr) &&
        (got == nullptr || std::strcmp(given, got) == 0)) {
      continue;
    }
    changes +=
        (changes.empty() ? "" : " and ") +
        (got == nullptr ? "unsets " + std::string(name) : "sets " + std::string(name) + "=" + got);
  }
  return changes;
}

// Why the running browser's environment leads the host away from where a
// host started from here looks, with nothing answering there.
std::optional<std::string> ledAway(const HostRun& run) {
  const RunningBrowser* browser = run.start.browser;
  const SocketSetting here = hostSocketSetting();
  if (browser == nullptr || run.setting.path == here.path) return std::nullopt;
  const char* socket = entryValue(run.start.entries, kSocketPathVariable);
  const char* ownSocket = std::getenv(kSocketPathVariable);
  const char* home = entryValue(run.start.entries, "HOME");
  std::string cause;
  if (socket != nullptr && (ownSocket == nullptr || std::strcmp(socket, ownSocket) != 0)) {
    cause = "runs with " + std::string(kSocketPathVariable) + "=" + socket;
  } else if (socket == nullptr && ownSocket != nullptr) {
    cause = "runs without " + std::string(kSocketPathVariable) + ", which this shell sets";
  } else if (home == nullptr || home[0] != '/') {
    cause = "runs without HOME, so the host takes the password database's home folder";
  } else {
    cause = "runs with HOME=" + std::string(home);
  }
  return "the host that " + browser->program + " (pid " + std::to_string(browser->pid) +
         ") starts does not reach the application: the browser " + cause +
         ", and the host looks for the application at " + shown(run.setting.path) +
         ", where nothing answers, not at " + here.path + ", where a host started from here looks";
}

}  // namespace

const char* const kLedAwayAdvice =
    "start the browser with the environment the application expects (the same HOME and "
    "OSTREL_SOCKET_PATH as this shell), or let the application listen where the host looks";

Start startOf(const setup::Browser& browser, const std::optional<std::string>& userDataDir,
              const std::vector<RunningBrowser>& running) {
  for (const bool exact : {true, false}) {
    for (const RunningBrowser& run : running) {
      if (run.browser != &browser || !run.environment) continue;
      const std::string folder = userDataDir ? common::resolvedPath(*userDataDir) : std::string();
      if (exact &&
          (run.userDataDir.empty() ? folder : common::resolvedPath(run.userDataDir)) != folder) {
        continue;
      }
      if (!exact && userDataDir) break;
      return {*run.environment,
              "the environment of the running " + run.program + " (pid " + std::to_string(run.pid) +
                  ")",
              &run};
    }
  }
  return {setup::ownEnvironment(), "this shell's environment (no browser of it runs)", nullptr};
}

HostRun runHost(const setup::Context& context, const std::string& manifestPath,
                const std::string& host, setup::Family family, const std::string& allowed,
                Start start) {
  setup::ProbeResult result =
      setup::probeHost(manifestPath, host, setup::browserArguments(family, manifestPath, allowed),
                       context.probeDeadline, start.entries);
  HostRun run{.result = std::move(result), .start = std::move(start)};
  const SocketSetting given = settingIn(run.start.entries);
  run.setting = given;
  run.settingFrom = "(assumed: the system does not tell which environment the host received, so " +
                    run.start.whose + " is taken; a wrapper script may set another path)";
  if (const std::optional<setup::ReceivedEnvironment>& received = run.result.environment) {
    run.setting = settingIn(received->entries);
    const std::string pid = std::to_string(received->pid);
    run.settingFrom = received->program.ends_with("/ostrel-native-host-tap")
                          ? "as the tap (pid " + pid +
                                ") received it; the tap passes the host a socket of its own "
                                "that leads there"
                          : "as the host (pid " + pid + ") received it";
    if (received->fromChild) {
      run.settingFrom += "; the registered program did not exec the host but started " +
                         (received->program.empty() ? std::string("it") : received->program) +
                         " as its child, whose environment this is";
    }
    run.settingFrom += ", started with " + run.start.whose;
    if (run.setting.path != given.path) run.changed = given;
  }
  if (run.result.outcome == ProbeOutcome::kUnavailable && !run.setting.unusable) {
    run.socket = checkSocket(run.setting.path);
    if (run.socket->state == SocketState::kAccepting) {
      run.socket->explanation = "it answers now, so it may have just started; run doctor again";
    }
  }
  return run;
}

std::optional<std::string> unreachedBecause(const HostRun& run,
                                            std::chrono::milliseconds deadline) {
  const setup::ProbeResult& result = run.result;
  const std::string host = "the host " + result.path;
  const std::string broken = host + " does not work as the browser starts it: ";
  switch (result.outcome) {
    case ProbeOutcome::kConnected:
    case ProbeOutcome::kLeftOut:
      return std::nullopt;
    case ProbeOutcome::kDidNotStart:
      return broken + "it could not be started: " + result.detail;
    case ProbeOutcome::kNoStatus:
      return broken + "it " + noStatus(result, deadline);
    case ProbeOutcome::kUnexpected:
      return broken + "its first message was not a status message: " + result.detail;
    case ProbeOutcome::kUnavailable:
      break;
  }
  const std::string where =
      host + " looks for the application at " + shown(run.setting.path) + ", " + run.setting.source;
  if (run.setting.unusable) return where + ": " + *run.setting.unusable;
  if (run.socket && neverReached(*run.socket)) {
    return where + ", and does not reach it: " + run.socket->explanation;
  }
  if (run.changed) {
    return "the registered program " + result.path + " " + changesOf(run) +
           " before it starts the host, which looks for the application at " +
           shown(run.setting.path) + ", where nothing answers, not at " + shown(run.changed->path) +
           ", where " + run.start.whose + " leads";
  }
  return ledAway(run);
}

void reportRun(const HostRun& run, std::chrono::milliseconds deadline, Findings& findings) {
  const setup::ProbeResult& result = run.result;
  findings.note("it looks for the application's socket at " + shown(run.setting.path) + ", " +
                run.setting.source + ", " + run.settingFrom);
  if (run.changed) {
    findings.note("that is not where a host started straight with " + run.start.whose +
                  " would look (" + shown(run.changed->path) +
                  "): the registration changes its environment");
  }
  findings.problem(run.setting.unusable);
  switch (result.outcome) {
    case ProbeOutcome::kDidNotStart:
      findings.problem("the host could not be started: " + result.detail);
      return;
    case ProbeOutcome::kLeftOut:
      findings.warning("the host was " + result.detail);
      return;
    case ProbeOutcome::kNoStatus:
      findings.problem("the host " + noStatus(result, deadline));
      break;
    case ProbeOutcome::kUnexpected:
      findings.problem("the host's first message was not a status message: " + result.detail);
      break;
    case ProbeOutcome::kConnected:
      findings.fine("the host started and reached the application at " + run.setting.path);
      break;
    case ProbeOutcome::kUnavailable:
      findings.fine("the host started and sent its status message");
      break;
  }
  if (run.socket) {
    const std::string words =
        "the application did not answer at " + run.setting.path + ": " + run.socket->explanation;
    neverReached(*run.socket) ? findings.problem(words) : findings.warning(words);
  }
  if (!result.standardError.empty()) {
    findings.problem("the host wrote to standard error, which it never does when healthy: " +
                     result.standardError.substr(0, 300));
  }
  if (result.exitStatus == 0) {
    findings.fine("it exited with status 0 when its input closed");
  } else {
    findings.problem("when its input closed, the host " + result.exitDescription);
  }
}

}  // namespace ostrel::doctor
