// Each registered host started once, as the first browser naming it starts
// it, and what its build does on "open_app".

#include <unistd.h>

#include <cstdlib>
#include <set>

#include "build_config.h"  // generated: OSTREL_VERSION
#include "build_facts.h"
#include "checks.h"
#include "host/settings.h"
#include "host_check.h"
#include "open_app_plan.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"
#include "trace.h"
#include "validation.h"
#include "verdict.h"

namespace ostrel::doctor {
namespace {

// The host binary behind a registration and how it was built: the
// registered file itself, or, for a wrapper, the program it was seen to
// run. Nothing when neither carries build facts.
struct BuiltHost {
  std::string path;
  BuildFacts facts;
};

std::optional<BuiltHost> builtHost(const std::string& registered, const setup::ProbeResult& probe,
                                   Findings& report) {
  const BuildFactsReading reading = readBuildFacts(registered);
  if (reading.facts) return BuiltHost{registered, *reading.facts};
  if (std::optional<std::string> tapped =
          setup::isTraceScript(registered) ? setup::traceHostOf(registered) : std::nullopt) {
    if (BuildFactsReading host = readBuildFacts(*tapped); host.facts) {
      report.note("the tap runs the host " + *tapped);
      return BuiltHost{*tapped, *host.facts};
    }
  }
  if (probe.environment && !probe.environment->program.empty() &&
      common::resolvedPath(probe.environment->program) != common::resolvedPath(registered)) {
    const std::string& program = probe.environment->program;
    if (BuildFactsReading seen = readBuildFacts(program); seen.facts) {
      report.note("the registered program runs the host " + program);
      return BuiltHost{program, *seen.facts};
    }
  }
  report.note(registered + ": " + reading.problem);
  return std::nullopt;
}

void reportOpenApp(const setup::Context& context, const std::string& registered,
                   const setup::ProbeResult& probe, Findings& report) {
  const std::optional<BuiltHost> built = builtHost(registered, probe, report);
  const std::string hostPath = built ? built->path : registered;
  std::string builtHere;
  if (built) {
    const bool same = built->facts.version == OSTREL_VERSION;
    report.note("the host is version " + built->facts.version + (same ? ", as is" : "; this is") +
                " ostrel-native-host-setup " + OSTREL_VERSION);
  } else if (common::resolvedPath(hostPath) != common::resolvedPath(context.defaultHostPath)) {
    builtHere =
        " (as built together with this tool; a host built elsewhere may be set up otherwise)";
  }
  const setup::OpenAppPlan plan =
      setup::planOpenApp(hostPath, built ? built->facts.launch : context.launch);
  if (plan.command.empty()) {
    report.note("on \"open_app\" it does nothing here, because " + plan.reason + builtHere);
    return;
  }
  report.note("on \"open_app\" it launches: " + common::shellWords(plan.command) + builtHere);
  const std::string& program = plan.command.front();
  if (!program.starts_with('/') || ::access(program.c_str(), X_OK) != 0) {
    report.warning("on \"open_app\" nothing will start: " + program +
                   " is not an executable file given by its absolute path (the extension still "
                   "connects; only \"open_app\" does nothing until it is installed)");
  }
}

}  // namespace

void checkHosts(Survey& survey, Findings& findings) {
  const setup::Context& context = survey.context;
  std::set<std::string> probed;
  for (const FoundManifest& entry : survey.found) {
    const setup::Manifest& manifest = entry.manifest;
    if (manifest.allowed.empty() || setup::checkHostPath(manifest.path) ||
        !probed.insert(manifest.path).second) {
      continue;
    }
    const setup::Browser& browser = browserOf(survey, entry.target);
    findings.about(std::string(browser.key), "");
    findings.heading("Host " + manifest.path + ", started as for " + entry.target.label +
                     " (it connects briefly to the application if that is running, and sends it "
                     "nothing):");
    if (setup::isTraceScript(manifest.path)) {
      findings.note("the tap is registered in the host's place, logging every frame to " +
                    setup::traceLogOf(manifest.path).value_or("its log") +
                    " (this check shows there too); install again without --trace to take it out");
    }
    const std::optional<std::string> own =
        entry.target.browser == nullptr ? std::optional(common::parentFolder(entry.target.folder))
                                        : std::nullopt;
    const HostRun run =
        runHost(context, entry.target.manifestPath, manifest.path, entry.target.family,
                manifest.allowed.front(), startOf(browser, own, survey.running));
    const char* shellValue = std::getenv(kSocketPathVariable);
    if (run.start.browser == nullptr && shellValue != nullptr && !run.changed) {
      findings.note(std::string(kSocketPathVariable) +
                    " is set in this shell; a browser started elsewhere may not have it" +
                    (context.environment.platform == setup::Platform::kMacOS
                         ? " (on macOS a browser started from the Dock or Finder never gets what "
                           "a shell profile sets: use launchctl setenv, or a wrapper script)"
                         : ""));
    }
    reportRun(run, context.probeDeadline, findings);
    reportOpenApp(context, manifest.path, run.result, findings);
  }
  if (!probed.empty() && context.options.system) {
    findings.note("the host ran as this user (uid " + std::to_string(::geteuid()) +
                  "), with this user's home folder and environment; a browser starts it as its "
                  "own user, who has another socket. To check for one user, run: sudo -u USER -H "
                  "ostrel-native-host-setup doctor --system");
  }
  findings.about("", "");
}

}  // namespace ostrel::doctor
