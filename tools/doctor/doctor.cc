// doctor: checks every manifest of the host it can find, starts each host
// they name as a browser would, and says in plain words what is wrong and
// what would mend it.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <tuple>

#include "browser_presence.h"
#include "build_config.h"  // generated: OSTREL_VERSION
#include "build_facts.h"
#include "commands.h"
#include "files.h"
#include "findings.h"
#include "host/settings.h"
#include "host_probe.h"
#include "installed_extensions.h"
#include "manifest.h"
#include "manifest_rules.h"
#include "open_app_plan.h"
#include "package_manifest.h"
#include "policies.h"
#include "running_browsers.h"
#include "sandboxes.h"
#include "socket_check.h"
#include "targets.h"
#include "tools/common/paths.h"
#include "trace.h"
#include "validation.h"
#include "verdict.h"

namespace ostrel::setup {
namespace {

using Report = doctor::Findings;
using doctor::Kind;

struct FoundManifest {
  Target target;
  Manifest manifest;
};

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string quotedWord(const std::string& word) { return shellWords({word}); }

// The whole install command that registers `allowed` for `target`'s
// browser (or profile folder), naming the host and the name when they are
// not the defaults.
std::string installCommand(const Context& context, const Target& target,
                           const std::vector<std::string>& allowed, const std::string& hostPath) {
  std::string command = "ostrel-native-host-setup install";
  if (target.browser != nullptr) {
    command += " --browser " + std::string(target.browser->key);
  } else {
    command += " --user-data-dir " + quotedWord(common::parentFolder(target.folder));
  }
  if (target.scope == Scope::kSystem) command += " --system";
  const char* option = target.family == Family::kChromium ? " --origin " : " --extension-id ";
  for (const std::string& id : allowed) command += option + quotedWord(id);
  if (!hostPath.empty() && resolved(hostPath) != resolved(context.defaultHostPath)) {
    command += " --host-path " + quotedWord(hostPath);
  }
  if (context.options.name != kDefaultHostName) command += " --name " + context.options.name;
  return command;
}

// Adds `command` as the fix, written as this user runs it where it needs
// root (`root`); where no command this user can run mends it, says what to
// run as root instead.
void fixAs(const Context& context, bool root, const std::string& command, Report& report) {
  if (!root) {
    report.fix(command);
  } else if (std::optional<std::string> run = doctor::asRoot(command, context.environment)) {
    report.fix(*run);
  } else {
    report.advise("as root (sudo is not installed), run: " + command);
  }
}

// The fix for a manifest the browser refuses: what install would write
// there, keeping the entries the browser accepts; force where this tool
// did not write it; nothing where the package owns it or no entry is left.
std::string manifestFix(const Context& context, const Target& target, const Manifest& manifest) {
  if (ownerOf(manifest) == ManifestOwner::kPackage) return {};
  std::vector<std::string> allowed;
  for (const std::string& entry : manifest.allowed) {
    const bool valid = target.family == Family::kChromium ? !checkChromiumOrigin(entry)
                                                          : !checkFirefoxExtensionId(entry);
    if (valid && std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) {
      allowed.push_back(entry);
    }
  }
  if (allowed.empty()) return {};
  std::string host = checkHostPath(manifest.path) ? std::string() : manifest.path;
  std::string command = installCommand(context, target, allowed, host);
  return isOwnManifest(manifest) ? command : command + " --force";
}

// Whether a system-wide manifest of the host is there for `browser`.
bool systemWideFor(const Context& context, const Browser* browser) {
  if (browser == nullptr) return false;
  std::optional<std::string> folder = manifestFolder(*browser, Scope::kSystem, context.environment);
  return folder && readWholeFile(joinPath(*folder, manifestFileName(context.options.name))).state !=
                       FileState::kMissing;
}

// Reads and checks the manifest of one target as its browser would;
// nothing when none is there or the browser cannot use it. Counts every
// file present in `present`.
std::optional<FoundManifest> examine(const Context& context, const Target& target, Report& report,
                                     int& present) {
  FileContents contents = readWholeFile(target.manifestPath);
  if (contents.state == FileState::kMissing) return std::nullopt;
  ++present;
  report.about(target.browser != nullptr ? std::string(target.browser->key) : std::string(),
               target.manifestPath);
  report.heading(target.label + ": " + target.manifestPath);
  if (contents.state != FileState::kPresent) {
    report.problem("cannot read it: " + contents.reason);
    if (contents.state == FileState::kUnreadable) {
      fixAs(context, target.scope == Scope::kSystem, "chmod a+r " + quotedWord(target.manifestPath),
            report);
      report.advise("the browser reads it as its user; let every folder above it be entered too");
    }
    return std::nullopt;
  }
  doctor::ManifestJudgement judgement =
      doctor::judgeManifest(contents.text, target.family, context.options.name);
  // Firefox passes over a per-user manifest it refuses to the system-wide
  // one, which is judged on its own.
  const bool passedOver = target.family == Family::kFirefox && target.scope == Scope::kUser &&
                          systemWideFor(context, target.browser);
  for (const std::string& fault : judgement.faults) {
    if (passedOver) {
      report.warning(fault + "; Firefox passes over this file to the system-wide manifest");
    } else {
      report.problem(fault);
    }
  }
  const std::optional<Manifest>& manifest = judgement.manifest;
  // A host file that cannot run is the browser's next refusal.
  Problem hostFault;
  if (manifest && !manifest->path.empty() && manifest->path.starts_with('/')) {
    hostFault = checkHostPath(manifest->path);
    report.problem(hostFault);
  }
  const bool own = manifest && isOwnManifest(*manifest);
  const bool packaged = manifest && ownerOf(*manifest) == ManifestOwner::kPackage;
  if (judgement.faults.empty() && !hostFault) {
    report.fine("the manifest is well formed");
  } else if (judgement.faults.empty() && hostFault) {
    struct stat info {};
    if (::stat(manifest->path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & 0111) == 0) {
      fixAs(context, info.st_uid != ::geteuid(), "chmod +x " + quotedWord(manifest->path), report);
    } else if (own) {
      fixAs(context, target.scope == Scope::kSystem,
            installCommand(context, target, manifest->allowed, ""), report);
      report.advise("that registers the host beside this tool instead");
    }
  } else if (packaged) {
    report.advise("reinstall the ostrel-native-host package, or build one with the right ids");
  } else if (std::string fix = manifest ? manifestFix(context, target, *manifest) : "";
             !fix.empty()) {
    fixAs(context, target.scope == Scope::kSystem, fix, report);
    if (!own) {
      report.advise("it was not written by this tool, so install replaces it only with --force");
    }
  } else {
    report.advise(own ? "register the host again with install and the extension's id"
                      : "it was not written by this tool: mend it by hand, or replace it with "
                        "install --force and the extension's id");
  }
  if (packaged) {
    report.note(packageManifestNote());
  } else if (manifest && !own) {
    report.note("it was not written by this tool");
  }
  if (manifest && judgement.faults.empty() && target.family == Family::kChromium) {
    for (const std::string& entry : manifest->allowed) {
      if (checkChromiumOrigin(entry)) {
        report.warning("the allowed_origins entry \"" + entry +
                       "\" names no extension (chrome-extension://<32 letters a to p>/), so "
                       "no extension can connect through it; the browser accepts the file");
      }
    }
  }
  if (manifest) {
    report.note(std::string("it allows ") + (manifest->allowed.empty()
                                                 ? std::string("no extension")
                                                 : shellWords(manifest->allowed)));
  }
  if (!manifest || !judgement.faults.empty()) return std::nullopt;
  return FoundManifest{target, *manifest};
}

// Where doctor looked, for when it found nothing.
void reportNothingFound(const Context& context, const TargetList& list, Report& report) {
  report.heading("Manifests:");
  report.problem("no manifest named " + manifestFileName(context.options.name) +
                 " was found in any of these folders:");
  // Not a command: the extension's id is not known here.
  report.advise(
      "register the host with: ostrel-native-host-setup install --browser NAME --origin "
      "chrome-extension://<id>/ (Chromium family) or --extension-id ID (Firefox); doctor "
      "--browser NAME --origin ... then prints the exact command");
  for (const Target& target : list.targets) report.heading("    " + target.folder);
  const Environment& environment = context.environment;
  if (environment.platform == Platform::kLinux && !context.options.userDataDir &&
      !context.options.system) {
    if (environment.xdgConfigHome.empty()) {
      report.note("XDG_CONFIG_HOME is not set, so the Chromium family's folders are below " +
                  environment.configHome);
    } else if (environment.xdgConfigHome.starts_with('/')) {
      report.note("XDG_CONFIG_HOME is set, so the Chromium family's folders are below " +
                  environment.configHome);
    } else {
      report.note("XDG_CONFIG_HOME is \"" + environment.xdgConfigHome +
                  "\", not an absolute path, so it was ignored and " + environment.configHome +
                  " used");
    }
  }
}

// The host binary behind a registration and how it was built: the
// registered file itself, or, for a wrapper, the program it was seen to
// run. Nothing when neither carries build facts.
struct BuiltHost {
  std::string path;
  BuildFacts facts;
};

std::optional<BuiltHost> builtHost(const std::string& registered, const ProbeResult& probe,
                                   Report& report) {
  BuildFactsReading reading = readBuildFacts(registered);
  if (reading.facts) return BuiltHost{registered, *reading.facts};
  if (std::optional<std::string> tapped =
          isTraceScript(registered) ? traceHostOf(registered) : std::nullopt) {
    if (BuildFactsReading host = readBuildFacts(*tapped); host.facts) {
      report.note("the tap runs the host " + *tapped);
      return BuiltHost{*tapped, *host.facts};
    }
  }
  if (probe.environment && !probe.environment->program.empty() &&
      resolved(probe.environment->program) != resolved(registered)) {
    const std::string& program = probe.environment->program;
    if (BuildFactsReading seen = readBuildFacts(program); seen.facts) {
      report.note("the registered program runs the host " + program);
      return BuiltHost{program, *seen.facts};
    }
  }
  report.note(registered + ": " + reading.problem);
  return std::nullopt;
}

void reportOpenApp(const Context& context, const std::string& registered, const ProbeResult& probe,
                   Report& report) {
  std::optional<BuiltHost> built = builtHost(registered, probe, report);
  std::string hostPath = built ? built->path : registered;
  AppLaunch launch = built ? built->facts.launch : context.launch;
  std::string builtHere;
  if (built) {
    const bool same = built->facts.version == OSTREL_VERSION;
    report.note("the host is version " + built->facts.version + (same ? ", as is" : "; this is") +
                " ostrel-native-host-setup " + OSTREL_VERSION);
  } else if (resolved(hostPath) != resolved(context.defaultHostPath)) {
    builtHere =
        " (as built together with this tool; a host built elsewhere may be set up otherwise)";
  }
  OpenAppPlan plan = planOpenApp(hostPath, launch);
  if (plan.command.empty()) {
    report.note("on \"open_app\" it does nothing here, because " + plan.reason + builtHere);
    return;
  }
  report.note("on \"open_app\" it launches: " + shellWords(plan.command) + builtHere);
  const std::string& program = plan.command.front();
  if (!program.starts_with('/') || ::access(program.c_str(), X_OK) != 0) {
    report.warning("on \"open_app\" nothing will start: " + program +
                   " is not an executable file given by its absolute path (the extension still "
                   "connects; only \"open_app\" does nothing until it is installed)");
  }
}

// Why the application did not answer, asked once per run.
class SocketDiagnosis {
 public:
  explicit SocketDiagnosis(SocketSetting setting) : setting_(std::move(setting)) {}
  const SocketSetting& setting() const { return setting_; }
  const SocketCheck& check() {
    if (!check_) {
      check_ = checkSocket(setting_.path);
      if (check_->state == SocketState::kAccepting) {
        check_->explanation = "it answers now, so it may have just started; run doctor again";
      }
    }
    return *check_;
  }

 private:
  SocketSetting setting_;
  std::optional<SocketCheck> check_;
};

void reportProbe(const ProbeResult& result, SocketDiagnosis& socket, Report& report,
                 std::chrono::milliseconds deadline) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(deadline.count()) / 1000.0);
  const std::string& path = socket.setting().path;
  switch (result.outcome) {
    case ProbeOutcome::kDidNotStart:
      report.problem("the host could not be started: " + result.detail);
      return;
    case ProbeOutcome::kLeftOut:
      report.warning("the host was " + result.detail);
      return;
    case ProbeOutcome::kNoStatus:
      report.problem("the host sent no status message within " + std::string(seconds) + " seconds");
      break;
    case ProbeOutcome::kUnexpected:
      report.problem("the host's first message was not a status message: " + result.detail);
      break;
    case ProbeOutcome::kConnected:
      report.fine("the host started and reached the application at " + path);
      break;
    case ProbeOutcome::kUnavailable:
      report.fine("the host started and sent its status message");
      if (!socket.setting().unusable) {
        const SocketCheck& check = socket.check();
        const std::string words =
            "the application did not answer at " + path + ": " + check.explanation;
        // Another user's socket is one the host will never use; an
        // application that is not running now stops nobody from connecting.
        if (check.state == SocketState::kOtherUser || check.state == SocketState::kNotSocket) {
          report.problem(words);
        } else {
          report.warning(words);
        }
      }
      break;
  }
  if (!result.standardError.empty()) {
    report.problem("the host wrote to standard error, which it never does when healthy: " +
                   result.standardError.substr(0, 300));
  }
  if (result.exitStatus == 0) {
    report.fine("it exited with status 0 when its input closed");
  } else {
    report.problem("when its input closed, the host " + result.exitDescription);
  }
}

// Where the environment a host is started with comes from: a running
// browser's own, or this process's (see hostEnvironment()).
struct StartingEnvironment {
  std::vector<std::string> entries;
  bool fromBrowser = false;
  std::string whose;  // in words
  // The running browser whose environment it is, when it is the very
  // browser (or profile folder) asked about; nullptr otherwise.
  const doctor::RunningBrowser* browser = nullptr;
};

SocketSetting settingOf(const StartingEnvironment& start) {
  return socketSettingFrom(doctor::entryValue(start.entries, kSocketPathVariable),
                           doctor::entryValue(start.entries, "HOME"));
}

// Where the probed host looks for the application: worked out from the
// environment it really received, which a wrapper may have changed, or,
// where the system does not tell, from the one it was started with.
SocketSetting reportSocketSetting(const ProbeResult& result, const StartingEnvironment& start,
                                  Report& report) {
  SocketSetting given = settingOf(start);
  if (!result.environment) {
    report.note("it looks for the application's socket at " +
                (given.path.empty() ? "(no path)" : given.path) + ", " + given.source +
                " (assumed: the system does not tell which environment the host received, so " +
                start.whose + " is taken; a wrapper script may set another path)");
    return given;
  }
  const ReceivedEnvironment& received = *result.environment;
  SocketSetting setting =
      socketSettingFrom(valueIn(received, kSocketPathVariable), valueIn(received, "HOME"));
  std::string from = "as the host (pid " + std::to_string(received.pid) + ") received it";
  if (received.program.ends_with("/ostrel-native-host-tap")) {
    from = "as the tap (pid " + std::to_string(received.pid) +
           ") received it; the tap passes the host a socket of its own that leads there";
  }
  if (received.fromChild) {
    from += "; the registered program did not exec the host but started " +
            (received.program.empty() ? std::string("it") : received.program) +
            " as its child, whose environment this is";
  }
  report.note("it looks for the application's socket at " +
              (setting.path.empty() ? "(no path)" : setting.path) + ", " + setting.source + ", " +
              from + ", started with " + start.whose);
  if (setting.path != given.path) {
    report.note("that is not where a host started straight with " + start.whose + " would look (" +
                (given.path.empty() ? "(no path)" : given.path) +
                "): the registration changes its environment");
  }
  return setting;
}

// The environment the browser of `target` gives the hosts it starts: that
// of a running browser of it (or of its family), else this process's.
StartingEnvironment startingEnvironment(const Target& target,
                                        const std::vector<doctor::RunningBrowser>& running) {
  const doctor::RunningBrowser* best = nullptr;
  for (const doctor::RunningBrowser& browser : running) {
    if (!browser.environment || browser.family != target.family) continue;
    const bool same = target.browser != nullptr
                          ? browser.browser == target.browser
                          : browser.userDataDir == common::parentFolder(target.folder);
    if (same || best == nullptr) best = &browser;
    if (same) {
      return {*browser.environment, true,
              "the environment of the running " + browser.program + " (pid " +
                  std::to_string(browser.pid) + ")",
              &browser};
    }
  }
  if (best == nullptr) {
    return {ownEnvironment(), false, "this shell's environment (no browser of it runs)", nullptr};
  }
  return {*best->environment, true,
          "the environment of the running " + best->program + " (pid " + std::to_string(best->pid) +
              ")",
          nullptr};
}

// Where the probed host looked for the application, without words.
SocketSetting settingUsed(const ProbeResult& result, const StartingEnvironment& start) {
  if (!result.environment) return settingOf(start);
  return socketSettingFrom(valueIn(*result.environment, kSocketPathVariable),
                           valueIn(*result.environment, "HOME"));
}

// Why the host that the running browser asked about starts does not reach
// this user's application: its environment leads the host to another path
// than a host started from here looks at, and nothing answers there.
// Nothing when the host reached it, or looks where one started from here
// would (the application may simply not run now).
std::optional<std::string> ledAway(const ProbeResult& result, const StartingEnvironment& start) {
  if (start.browser == nullptr || !start.fromBrowser ||
      result.outcome != ProbeOutcome::kUnavailable) {
    return std::nullopt;
  }
  const SocketSetting used = settingUsed(result, start);
  const SocketSetting here = hostSocketSetting();
  if (used.path == here.path) return std::nullopt;
  const char* socket = doctor::entryValue(start.entries, kSocketPathVariable);
  const char* ownSocket = std::getenv(kSocketPathVariable);
  const char* home = doctor::entryValue(start.entries, "HOME");
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
  return "the host that " + start.browser->program + " (pid " + std::to_string(start.browser->pid) +
         ") starts does not reach the application: the browser " + cause +
         ", and the host looks for the application at " +
         (used.path.empty() ? std::string("(no path)") : used.path) +
         ", where nothing answers, not at " + here.path + ", where a host started from here looks";
}

// What to do about a browser whose environment leads its hosts away.
constexpr const char* kLedAwayAdvice =
    "start the browser with the environment the application expects (the same HOME and "
    "OSTREL_SOCKET_PATH as this shell), or let the application listen where the host looks";

// Starts each distinct host once, as the first browser naming it would.
void probeHosts(const Context& context, const std::vector<FoundManifest>& found,
                const std::vector<doctor::RunningBrowser>& running, Report& report) {
  std::set<std::string> probed;
  for (const FoundManifest& entry : found) {
    const Manifest& manifest = entry.manifest;
    if (manifest.allowed.empty() || checkHostPath(manifest.path) ||
        !probed.insert(manifest.path).second) {
      continue;
    }
    report.heading("Host " + manifest.path + ", started as for " + entry.target.label +
                   " (it connects briefly to the application if that is running, and sends it "
                   "nothing):");
    if (isTraceScript(manifest.path)) {
      report.note("the tap is registered in the host's place, logging every frame to " +
                  traceLogOf(manifest.path).value_or("its log") +
                  " (this check shows there too); install again without --trace to take it out");
    }
    const StartingEnvironment start = startingEnvironment(entry.target, running);
    ProbeResult result = probeHost(
        entry.target.manifestPath, manifest.path,
        browserArguments(entry.target.family, entry.target.manifestPath, manifest.allowed.front()),
        context.probeDeadline, start.entries);
    SocketDiagnosis socket(reportSocketSetting(result, start, report));
    report.problem(socket.setting().unusable);
    const char* ownValue = std::getenv(kSocketPathVariable);
    const char* hostValue =
        result.environment ? valueIn(*result.environment, kSocketPathVariable) : ownValue;
    if (!start.fromBrowser && ownValue != nullptr && hostValue != nullptr &&
        std::string(ownValue) == hostValue) {
      report.note(std::string(kSocketPathVariable) +
                  " is set in this shell; a browser started elsewhere may not have it" +
                  (context.environment.platform == Platform::kMacOS
                       ? " (on macOS a browser started from the Dock or Finder never gets what a "
                         "shell profile sets: use launchctl setenv, or a wrapper script)"
                       : ""));
    }
    reportProbe(result, socket, report, context.probeDeadline);
    reportOpenApp(context, manifest.path, result, report);
  }
  if (!probed.empty() && context.options.system) {
    report.note("the host ran as this user (uid " + std::to_string(::geteuid()) +
                "), with this user's home folder and environment; a browser starts it as its "
                "own user, who has another socket. To check for one user, run: sudo -u USER -H "
                "ostrel-native-host-setup doctor --system");
  }
}

using doctor::allowedFormOf;
using doctor::idOf;

std::string described(const InstalledExtension& extension, const Profile& profile) {
  std::string text = extension.id;
  if (!extension.name.empty()) text += " (\"" + extension.name + "\")";
  // A running browser's --load-extension is no profile.
  if (profile.folder.starts_with("--")) return text + ", loaded by the " + profile.folder;
  if (extension.unpacked) text += ", loaded unpacked,";
  return text + " in the profile " + profile.folder;
}

// One browser's profiles, or one --user-data-dir, set against the
// registrations found: what is installed and allowed, near misses, and
// extensions allowed elsewhere but not for this browser.
struct ProfileSet {
  Target target;  // where a registration for these profiles goes
  std::vector<Profile> profiles;
  const Browser* browser = nullptr;  // whose profiles they are (the target's, or a running one)
};

// The registration a "yes" verdict found, as a target.
Target targetOf(const doctor::Question& question, const doctor::Verdict& verdict) {
  return Target{.label = std::string(question.browser->displayName),
                .browser = question.userDataDir ? nullptr : question.browser,
                .family = question.browser->family,
                .scope = Scope::kUser,
                .folder = common::parentFolder(verdict.manifestPath),
                .manifestPath = verdict.manifestPath};
}

// Starts the host of a "yes" verdict as the browser would, with `start`.
ProbeResult probeAsBrowser(const Context& context, const doctor::Question& question,
                           const doctor::Verdict& verdict, const StartingEnvironment& start) {
  const Family family = question.browser->family;
  return probeHost(
      verdict.manifestPath, verdict.manifest->path,
      browserArguments(family, verdict.manifestPath, allowedFormOf(family, question.id)),
      context.probeDeadline, start.entries);
}

// Whether the extension will connect, by the browser's whole verdict, and,
// where the browser runs now, reach the application from the host it
// starts; reported as fine only then.
void reportAllowed(const Context& context, const ProfileSet& set,
                   const InstalledExtension& extension, const Profile& profile,
                   const std::vector<doctor::RunningBrowser>& running, Report& report) {
  doctor::Question question{
      .browser = set.browser, .id = idOf(set.target.family, extension.id), .userDataDir = {}};
  if (set.target.browser == nullptr) question.userDataDir = common::parentFolder(set.target.folder);
  doctor::Verdict verdict = doctor::judge(context, question, running);
  if (verdict.yes) {
    const StartingEnvironment start = startingEnvironment(targetOf(question, verdict), running);
    const ProbeResult result = probeAsBrowser(context, question, verdict, start);
    if (result.outcome == ProbeOutcome::kLeftOut) {
      report.fine("allowed and installed: " + described(extension, profile));
      report.warning("the host " + verdict.manifest->path + " was " + result.detail);
      return;
    }
    if (result.outcome != ProbeOutcome::kConnected &&
        result.outcome != ProbeOutcome::kUnavailable) {
      report.problem("allowed, but the host " + verdict.manifest->path +
                     " does not work as the browser starts it: " + described(extension, profile) +
                     " (the host's check below says why)");
      return;
    }
    std::optional<std::string> away = ledAway(result, start);
    if (!away) {
      report.fine("allowed and installed: " + described(extension, profile));
      return;
    }
    report.problem("allowed, but it will not reach the application: " +
                   described(extension, profile) + ": " + *away);
    report.advise(kLedAwayAdvice);
    return;
  }
  report.problem("allowed, but it will not connect: " + described(extension, profile) + ": " +
                 verdict.reason);
  if (!verdict.fix.empty()) report.fix(verdict.fix);
  if (!verdict.advice.empty()) report.advise(verdict.advice);
}

void compareProfiles(const Context& context, const ProfileSet& set,
                     const std::vector<FoundManifest>& found,
                     const std::vector<doctor::RunningBrowser>& running, bool& headed,
                     Report& report) {
  const Family family = set.target.family;
  std::set<std::string> allowedHere;   // ids allowed for this browser
  std::set<std::string> allowedThere;  // ids allowed for others of the family
  std::string hostPath;
  for (const FoundManifest& entry : found) {
    if (entry.target.family != family) continue;
    const bool here = entry.target.browser == set.target.browser &&
                      (set.target.browser != nullptr || entry.target.folder == set.target.folder);
    for (const std::string& allowed : entry.manifest.allowed) {
      (here ? allowedHere : allowedThere).insert(idOf(family, allowed));
    }
    if (hostPath.empty() || here) hostPath = entry.manifest.path;
  }
  if (allowedHere.empty() && allowedThere.empty()) return;
  report.about(std::string(set.browser->key), "");
  if (!headed) report.heading("Installed extensions:");
  headed = true;
  report.heading(set.target.label + ": " + std::to_string(set.profiles.size()) +
                 (set.profiles.size() == 1 ? " profile" : " profiles") + " found");
  bool anyAllowedInstalled = false;
  for (const Profile& profile : set.profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      const std::string allowed = allowedFormOf(family, extension.id);
      if (allowedHere.contains(idOf(family, extension.id))) {
        anyAllowedInstalled = true;
        reportAllowed(context, set, extension, profile, running, report);
        continue;
      }
      if (allowedThere.contains(extension.id)) {
        report.problem(described(extension, profile) +
                       " is allowed for another browser, but no registration for " +
                       set.target.label + " allows it");
        report.fix(installCommand(context, set.target, {allowed}, hostPath));
        continue;
      }
      std::set<std::string> everyAllowed = allowedHere;
      everyAllowed.insert(allowedThere.begin(), allowedThere.end());
      for (const std::string& id : everyAllowed) {
        std::size_t distance = editDistance(id, extension.id);
        if (distance == 0 || distance > 2) continue;
        report.problem("the registration allows " + allowedFormOf(family, id) + ", which is " +
                       std::to_string(distance) + (distance == 1 ? " letter" : " letters") +
                       " off the installed " + described(extension, profile));
        report.fix(installCommand(context, set.target, {allowed}, hostPath));
        report.advise("run it if the installed one is the extension meant to connect");
      }
      if (extension.unpacked && !allowedHere.empty()) {
        report.note("no registration allows " + described(extension, profile) +
                    "; if it is the one meant to connect: " +
                    installCommand(context, set.target, {allowed}, hostPath));
      }
    }
  }
  if (!allowedHere.empty() && !anyAllowedInstalled) {
    report.problem(
        "no extension the registration allows is installed in any profile found "
        "below " +
        common::parentFolder(set.profiles.front().folder));
    if (family == Family::kFirefox) {
      // Firefox's own add-ons are left out already: what is left is the
      // user's, one of which is most likely the add-on meant.
      for (const Profile& profile : set.profiles) {
        for (const InstalledExtension& extension : profile.extensions) {
          report.note("installed there: the add-on " + described(extension, profile) +
                      "; Firefox compares its id (browser_specific_settings.gecko.id) with "
                      "allowed_extensions; if it is the add-on meant to connect, run: " +
                      installCommand(context, set.target, {extension.id}, hostPath));
        }
      }
    }
  }
}

// The set `browser` reads its profiles from: its own profile folder's, or
// its browser's; nullptr when there is none to add to.
ProfileSet* setOf(std::vector<ProfileSet>& sets, const doctor::RunningBrowser& browser,
                  const std::string& ownFolder) {
  for (ProfileSet& set : sets) {
    const bool same =
        ownFolder.empty()
            ? set.target.browser != nullptr && set.target.browser == browser.browser
            : set.target.browser == nullptr && common::parentFolder(set.target.folder) == ownFolder;
    if (same) return &set;
  }
  return nullptr;
}

// What a running browser shows beyond its profile folders: the extensions
// it was told to load, and Firefox's -profile, added to its set.
void addRunningProfiles(const TargetList& list, const doctor::RunningBrowser& browser,
                        const std::string& ownFolder, std::vector<ProfileSet>& sets) {
  Profile loaded{.folder = "--load-extension of " + browser.program + " (pid " +
                           std::to_string(browser.pid) + ")",
                 .extensions = doctor::loadedExtensions(browser)};
  std::optional<Profile> own;
  if (!browser.profile.empty()) own = profileAt(browser.family, browser.profile);
  if (loaded.extensions.empty() && !own) return;
  ProfileSet* set = setOf(sets, browser, ownFolder);
  if (set == nullptr && ownFolder.empty()) {
    for (const Target& target : list.targets) {
      if (target.browser == browser.browser && target.scope == Scope::kUser) {
        sets.push_back({target, {}, target.browser});
        set = &sets.back();
        break;
      }
    }
  }
  if (set == nullptr) return;
  if (!loaded.extensions.empty()) set->profiles.push_back(std::move(loaded));
  if (own && std::none_of(set->profiles.begin(), set->profiles.end(),
                          [&](const Profile& profile) { return profile.folder == own->folder; })) {
    set->profiles.push_back(std::move(*own));
  }
}

void reportInstalledExtensions(const Context& context, const TargetList& list,
                               std::vector<FoundManifest> found,
                               const std::vector<doctor::RunningBrowser>& running, Report& report) {
  std::vector<ProfileSet> sets;
  std::set<const Browser*> seen;
  for (const Target& target : list.targets) {
    if (target.scope != Scope::kUser && target.browser != nullptr) continue;
    if (target.browser != nullptr && !seen.insert(target.browser).second) continue;
    const std::vector<std::string> roots =
        target.browser != nullptr ? profilesRoots(*target.browser, context.environment)
                                  : std::vector<std::string>{common::parentFolder(target.folder)};
    std::vector<Profile> profiles;
    for (const std::string& root : roots) {
      std::vector<Profile> found = findProfiles(target.family, root);
      std::move(found.begin(), found.end(), std::back_inserter(profiles));
    }
    const Browser* browser = target.browser;
    if (browser == nullptr) {
      browser = context.options.browsers.empty() ? findBrowser("chromium")
                                                 : context.options.browsers.front();
    }
    if (!profiles.empty()) sets.push_back({target, std::move(profiles), browser});
  }
  // A running browser's own profile folder is looked at too.
  if (!context.options.userDataDir && !context.options.system) {
    for (const doctor::RunningBrowser& browser : running) {
      const std::string own = doctor::ownUserDataDir(browser, context.environment);
      if (browser.family == Family::kChromium && !own.empty() && !setOf(sets, browser, own)) {
        std::vector<Profile> profiles = findProfiles(Family::kChromium, own);
        const std::string folder = userDataManifestFolder(own);
        Target target{.label = "profile folder " + own,
                      .browser = nullptr,
                      .family = Family::kChromium,
                      .scope = Scope::kUser,
                      .folder = folder,
                      .manifestPath = joinPath(folder, manifestFileName(context.options.name))};
        FileContents contents = readWholeFile(target.manifestPath);
        ManifestReading reading = readManifest(contents.text, Family::kChromium);
        if (contents.state == FileState::kPresent && reading.manifest) {
          found.push_back({target, *reading.manifest});
        }
        sets.push_back({std::move(target), std::move(profiles),
                        browser.browser != nullptr ? browser.browser : findBrowser("chromium")});
      }
      addRunningProfiles(list, browser, own, sets);
    }
  }
  std::erase_if(sets, [](const ProfileSet& set) { return set.profiles.empty(); });
  if (sets.empty() || found.empty()) return;
  bool headed = false;
  for (const ProfileSet& set : sets) compareProfiles(context, set, found, running, headed, report);
  report.about("", "");
}

// The browsers that will look for the host but find no registration: one
// that looks installed while another of its family has one, and a running
// Chromium-family browser with a --user-data-dir of its own.
void reportUncoveredBrowsers(const Context& context, const TargetList& list,
                             const std::vector<FoundManifest>& found,
                             const std::vector<doctor::RunningBrowser>& browsers, Report& report) {
  if (context.options.userDataDir || context.options.system || found.empty()) return;
  std::vector<std::string> lines;
  auto registeredFor = [&](Family family, const Browser* browser) {
    std::vector<std::string> allowed;
    std::string hostPath;
    bool covered = false;
    for (const FoundManifest& entry : found) {
      if (entry.target.family != family) continue;
      if (browser != nullptr && entry.target.browser == browser) covered = true;
      for (const std::string& id : entry.manifest.allowed) {
        Problem invalid =
            family == Family::kChromium ? checkChromiumOrigin(id) : checkFirefoxExtensionId(id);
        if (!invalid && std::find(allowed.begin(), allowed.end(), id) == allowed.end()) {
          allowed.push_back(id);
        }
      }
      hostPath = entry.manifest.path;
    }
    // A manifest that is there but unusable has been reported already.
    for (const Target& target : list.targets) {
      if (browser != nullptr && target.browser == browser &&
          readWholeFile(target.manifestPath).state != FileState::kMissing) {
        covered = true;
      }
    }
    return std::make_tuple(covered, allowed, hostPath);
  };
  bool headed = false;
  auto heading = [&] {
    if (!headed) report.heading("Browsers that will look for the host:");
    headed = true;
  };
  std::set<const Browser*> seen;
  for (const Target& target : list.targets) {
    if (target.browser == nullptr || target.scope != Scope::kUser ||
        !seen.insert(target.browser).second) {
      continue;
    }
    auto [covered, allowed, hostPath] = registeredFor(target.family, target.browser);
    if (covered || allowed.empty()) continue;
    std::optional<std::string> sign = installationSign(*target.browser, context.environment);
    if (!sign) continue;
    heading();
    report.problem(std::string(target.browser->displayName) + " looks installed (" + *sign +
                   ") but has no registration, while another " +
                   std::string(familyName(target.family)) +
                   " browser has one: an extension in it cannot start the host");
    report.fix(installCommand(context, target, allowed, hostPath));
  }
  for (const doctor::RunningBrowser& running : browsers) {
    // One started with its default folder, or one a system-wide manifest
    // serves, has been looked at with its browser.
    if (running.family != Family::kChromium ||
        doctor::ownUserDataDir(running, context.environment).empty() ||
        systemWideFor(context, running.browser)) {
      continue;
    }
    auto [covered, allowed, hostPath] = registeredFor(Family::kChromium, nullptr);
    Target profile{.label = "profile folder " + running.userDataDir,
                   .browser = nullptr,
                   .family = Family::kChromium,
                   .scope = Scope::kUser,
                   .folder = userDataManifestFolder(running.userDataDir),
                   .manifestPath = joinPath(userDataManifestFolder(running.userDataDir),
                                            manifestFileName(context.options.name))};
    heading();
    const std::string who = running.program + " (pid " + std::to_string(running.pid) +
                            ") runs with --user-data-dir=" + running.userDataDir;
    if (readWholeFile(profile.manifestPath).state == FileState::kPresent) {
      report.fine(who + ", and the host is registered there");
      continue;
    }
    report.problem(who + "; it reads host manifests only from " + profile.folder +
                   ", where there is none");
    if (!allowed.empty()) report.fix(installCommand(context, profile, allowed, hostPath));
  }
}

// Whether the Flatpak `id` may start programs outside its sandbox: a
// --talk-name=org.freedesktop.Flatpak override, read from the per-user
// and system-wide override files.
bool mayTalkToFlatpak(const Environment& environment, std::string_view id) {
  const std::string folders[] = {joinPath(environment.home, ".local/share/flatpak/overrides"),
                                 environment.systemRoot + "/var/lib/flatpak/overrides"};
  return std::any_of(std::begin(folders), std::end(folders), [&](const std::string& folder) {
    FileContents overrides = readWholeFile(joinPath(folder, id), 1 << 20);
    return overrides.state == FileState::kPresent &&
           overrides.text.find("org.freedesktop.Flatpak=talk") != std::string::npos;
  });
}

void reportSandboxes(const Environment& environment, Report& report) {
  std::vector<SandboxedBrowser> sandboxed = findSandboxedBrowsers(environment);
  if (sandboxed.empty()) return;
  report.about("", "");
  report.heading("Sandboxed browsers (none of what follows has been seen working here):");
  for (const SandboxedBrowser& entry : sandboxed) {
    const Browser& browser = *entry.browser;
    report.about(std::string(browser.key), entry.location);
    const std::string what = std::string(browser.displayName) + " is installed as a " +
                             entry.packaging + " (" + entry.location + ")";
    if (browser.family == Family::kFirefox) {
      report.warning(what +
                     ": confined, it reads no manifest and starts no host itself; it "
                     "reaches hosts only through the WebExtensions portal of "
                     "xdg-desktop-portal, where that is installed, with the preference "
                     "widget.use-xdg-desktop-portal.native-messaging set to 1 (or 2: detect), "
                     "and the portal asks the user once whether the add-on may start the host; "
                     "not verified here");
    } else if (entry.packaging == "Snap") {
      report.warning(what +
                     ": a Chromium-family Snap starts no native-messaging host at all; "
                     "use the browser from a distribution package");
    } else {
      const bool talks = mayTalkToFlatpak(environment, browser.flatpakId);
      report.warning(what +
                     ": it reaches a host only through a wrapper script that starts it "
                     "outside the sandbox with flatpak-spawn --host, registered in the "
                     "sandbox's own folder (~/.var/app/" +
                     std::string(browser.flatpakId) +
                     "/config/...), and only with --talk-name=org.freedesktop.Flatpak granted" +
                     (talks ? " (it is granted)" : " (it is not granted)") + "; not verified here");
      if (!talks) {
        report.fix("flatpak override --user --talk-name=org.freedesktop.Flatpak " +
                   std::string(browser.flatpakId));
      }
    }
  }
}

// Which environment the hosts are started with, and what running
// browsers show.
void reportEnvironment(const Context& context, const std::vector<doctor::RunningBrowser>& running,
                       Report& report) {
  report.about("", "");
  report.heading("Environment:");
  if (running.empty()) {
    const char* socket = std::getenv(kSocketPathVariable);
    report.note(
        "no browser of this user runs now, so this shell's environment is assumed for "
        "the hosts a browser starts (HOME=" +
        context.environment.home + ", " + kSocketPathVariable +
        (socket != nullptr ? "=" + std::string(socket) : std::string(" unset")) +
        "); a browser started otherwise passes its own");
  }
  for (const doctor::RunningBrowser& browser : running) {
    report.about(std::string(browser.browser->key), "");
    if (!browser.withheld.empty()) report.note(browser.withheld);
    std::string words = browser.program + " (pid " + std::to_string(browser.pid) + ") runs";
    if (!browser.userDataDir.empty()) words += " with --user-data-dir=" + browser.userDataDir;
    if (!browser.environment) {
      report.note(words + "; its environment cannot be read, so this shell's is assumed");
      continue;
    }
    const char* home = doctor::entryValue(*browser.environment, "HOME");
    const char* socket = doctor::entryValue(*browser.environment, kSocketPathVariable);
    report.note(words + ", with HOME=" + (home != nullptr ? home : "(unset)") + " and " +
                kSocketPathVariable +
                (socket != nullptr ? "=" + std::string(socket) : std::string(" unset")) +
                ": the hosts it starts get these");
    if (home == nullptr || context.environment.home != home) {
      report.warning(browser.program + " (pid " + std::to_string(browser.pid) + ") has " +
                     (home == nullptr ? std::string("no HOME") : "HOME=" + std::string(home)) +
                     ", not " + context.environment.home +
                     ": the host it starts looks for the application below another home "
                     "folder than this shell's");
    }
  }
  if (context.environment.platform == Platform::kMacOS &&
      std::getenv(kSocketPathVariable) != nullptr) {
    report.note(std::string(kSocketPathVariable) +
                " is set in this shell; a browser started from the Dock or Finder does not get "
                "what a shell profile sets (launchctl setenv does reach it)");
  }
}

// The Chromium-family browsers whose policies count for this run.
std::vector<const Browser*> policyBrowsers(const Context& context, const TargetList& list) {
  std::vector<const Browser*> browsers;
  for (const Target& target : list.targets) {
    if (target.browser != nullptr && target.family == Family::kChromium &&
        std::find(browsers.begin(), browsers.end(), target.browser) == browsers.end()) {
      browsers.push_back(target.browser);
    }
  }
  if (browsers.empty() && context.options.userDataDir) {
    for (const Browser* browser : context.options.browsers) {
      if (browser->family == Family::kChromium) browsers.push_back(browser);
    }
    if (browsers.empty()) browsers.push_back(findBrowser("chromium"));
  }
  return browsers;
}

void reportPolicies(const Context& context, const TargetList& list,
                    const std::vector<FoundManifest>& found, Report& report) {
  bool headed = false;
  bool anyBrowser = false;
  for (const Browser* browser : policyBrowsers(context, list)) {
    anyBrowser = true;
    const doctor::NativeMessagingPolicies policies =
        doctor::readPolicies(*browser, context.environment);
    report.about(std::string(browser->key), "");
    auto heading = [&] {
      if (!headed) report.heading("Policies:");
      headed = true;
    };
    if (auto why = doctor::hostBlockedBy(policies, context.options.name)) {
      heading();
      report.about(std::string(browser->key), policies.blocklist->file);
      report.problem(std::string(browser->displayName) + ": " + *why);
      report.advise("ask the administrator to add " + context.options.name + " to " +
                    "NativeMessagingAllowlist");
    }
    if (auto why = doctor::permissionBlockedBy(policies, "*")) {
      heading();
      report.about(std::string(browser->key), policies.blockedPermission->file);
      report.problem(std::string(browser->displayName) + ": " + *why);
    }
    if (auto why = doctor::userLevelHostsOffBy(policies)) {
      bool perUser = false;
      bool systemWide = false;
      std::vector<std::string> allowed;
      std::string hostPath;
      for (const FoundManifest& entry : found) {
        if (entry.target.browser != browser) continue;
        (entry.target.scope == Scope::kUser ? perUser : systemWide) = true;
        allowed = entry.manifest.allowed;
        hostPath = entry.manifest.path;
      }
      heading();
      report.about(std::string(browser->key), policies.userLevelHosts->file);
      if (perUser && !systemWide) {
        report.problem(std::string(browser->displayName) + ": " + *why +
                       ": the per-user registration is useless; a system-wide one would work");
        fixAs(context, true,
              doctor::installCommand(context, browser, std::nullopt, Scope::kSystem, allowed,
                                     hostPath, false),
              report);
      } else {
        report.note(std::string(browser->displayName) + ": " + *why);
      }
    }
    for (const std::string& unreadable : policies.unreadable) {
      heading();
      report.warning(std::string(browser->displayName) + " skips the policy file " + unreadable);
    }
    for (const std::string& ignored : policies.ignored) {
      heading();
      report.note(std::string(browser->displayName) + ": " + ignored);
    }
  }
  if (anyBrowser) {
    report.about("", "");
    if (!headed) report.heading("Policies:");
    report.note(
        "policies pushed from the cloud (a browser signed in to a managed account or "
        "enrolled in cloud management) are not in any file; see them at chrome://policy "
        "(edge://policy, brave://policy, vivaldi://policy)");
  }
}

// Per browser, which of a per-user and a system-wide manifest it uses.
void reportWinners(const TargetList& list, Report& report) {
  for (const Target& user : list.targets) {
    if (user.scope != Scope::kUser || user.browser == nullptr) continue;
    for (const Target& system : list.targets) {
      if (system.scope != Scope::kSystem || system.browser != user.browser) continue;
      struct stat info {};
      if (::stat(user.manifestPath.c_str(), &info) != 0 ||
          ::stat(system.manifestPath.c_str(), &info) != 0) {
        continue;
      }
      report.about(std::string(user.browser->key), user.manifestPath);
      report.note(
          std::string(user.browser->displayName) + " has a per-user and a system-wide manifest: " +
          (user.family == Family::kChromium
               ? "it uses the per-user one, " + user.manifestPath +
                     ", even when that one is broken (unless policy turns per-user hosts off)"
               : "Firefox tries the per-user one, " + user.manifestPath +
                     ", and passes to the system-wide one when it is broken or does not list "
                     "the add-on"));
    }
  }
}

// The running browsers of this user that read the manifests and profiles
// looked at here: those whose HOME is this home folder, and those started
// without HOME (or with one that is not absolute), which read below the
// password database's home instead and are judged by it. One started with
// another HOME reads the folders of whoever set it up so, and is left out.
std::vector<doctor::RunningBrowser> browsersOfThisUser(const Context& context) {
  std::vector<doctor::RunningBrowser> kept;
  for (doctor::RunningBrowser& browser : doctor::runningBrowsers()) {
    if (!browser.environment) continue;
    if (browser.homeFromPasswordDatabase || browser.home == context.environment.home) {
      kept.push_back(std::move(browser));
    }
  }
  return kept;
}

// The question mode: will this extension in this browser reach the
// application? "yes: ..." or "no: <first reason>", then further lines.
struct Asked {
  std::optional<doctor::Question> question;
  std::string error;  // the options make no sense
};

Asked askedQuestion(const Options& options) {
  const bool chromium = !options.origins.empty();
  if (options.origins.size() + options.extensionIds.size() != 1) {
    return {std::nullopt,
            "give one --origin (Chromium family) or one --extension-id (Firefox) "
            "to ask about one extension"};
  }
  const Browser* browser = nullptr;
  if (options.allBrowsers || options.browsers.size() > 1) {
    return {std::nullopt, "name one browser with --browser to ask about one extension"};
  }
  if (!options.browsers.empty()) {
    browser = options.browsers.front();
  } else if (options.userDataDir) {
    browser = findBrowser("chromium");
  } else {
    return {std::nullopt, "name the browser with --browser"};
  }
  if (chromium != (browser->family == Family::kChromium)) {
    return {std::nullopt, chromium ? "--origin is for Chromium-family browsers; " +
                                         std::string(browser->displayName) + " takes --extension-id"
                                   : "--extension-id is for Firefox; " +
                                         std::string(browser->displayName) + " takes --origin"};
  }
  if (options.system) {
    return {std::nullopt,
            "--system does not go with a question about one "
            "extension: the browser's choice is asked"};
  }
  doctor::Question question{.browser = browser, .id = {}, .userDataDir = options.userDataDir};
  if (chromium) {
    question.id = idOf(Family::kChromium, options.origins.front());
    if (Problem problem = checkChromiumOrigin("chrome-extension://" + question.id + "/")) {
      return {std::nullopt, *problem};
    }
  } else {
    question.id = options.extensionIds.front();
  }
  return {question, {}};
}

// The profile folder that counts for the question: the one given, or,
// where the browser runs now only with a --user-data-dir of its own, that
// one, which is where it reads manifests from.
std::optional<std::string> countingUserDataDir(const doctor::Question& question,
                                               const std::vector<doctor::RunningBrowser>& running,
                                               const Environment& environment, std::string& note) {
  if (question.userDataDir || question.browser->family != Family::kChromium) {
    return question.userDataDir;
  }
  std::set<std::string> folders;
  const doctor::RunningBrowser* shown = nullptr;
  for (const doctor::RunningBrowser& browser : running) {
    if (browser.browser != question.browser) continue;
    folders.insert(doctor::ownUserDataDir(browser, environment));
    shown = &browser;
  }
  if (folders.size() != 1 || folders.begin()->empty()) return std::nullopt;
  note = "answered for the running " + shown->program + " (pid " + std::to_string(shown->pid) +
         "), started with --user-data-dir=" + shown->userDataDir +
         ": it reads manifests only from that folder";
  return shown->userDataDir;
}

int answerQuestion(const Context& context, doctor::Question question) {
  const Browser& browser = *question.browser;
  const std::vector<doctor::RunningBrowser> running = browsersOfThisUser(context);
  std::string runningNote;
  question.userDataDir = countingUserDataDir(question, running, context.environment, runningNote);
  doctor::Verdict verdict = doctor::judge(context, question, running);
  if (!runningNote.empty()) verdict.notes.insert(verdict.notes.begin(), runningNote);
  for (const doctor::RunningBrowser& run : running) {
    if (run.browser == &browser && !run.withheld.empty()) verdict.notes.push_back(run.withheld);
  }
  Report report;
  report.about(std::string(browser.key), verdict.file);
  const std::string who =
      allowedFormOf(browser.family, question.id) + " in " + std::string(browser.displayName);
  if (!verdict.yes) {
    report.problem(verdict.reason);
    if (!verdict.fix.empty()) report.fix(verdict.fix);
    if (!verdict.advice.empty()) report.advise(verdict.advice);
  } else {
    const StartingEnvironment start = startingEnvironment(targetOf(question, verdict), running);
    ProbeResult result = probeAsBrowser(context, question, verdict, start);
    if (result.outcome == ProbeOutcome::kLeftOut) {
      report.fine(who + " will start the host " + verdict.manifest->path + " through " +
                  verdict.manifestPath);
      report.warning("the host was " + result.detail);
    } else if (result.outcome != ProbeOutcome::kConnected &&
               result.outcome != ProbeOutcome::kUnavailable) {
      Report probe;
      SocketDiagnosis socket(settingOf(start));
      reportProbe(result, socket, probe, context.probeDeadline);
      std::string why = "the host " + verdict.manifest->path + " that " + verdict.manifestPath +
                        " names does not work as the browser starts it";
      for (const doctor::Finding& finding : probe.all()) {
        if (finding.kind == Kind::kProblem) {
          why += ": " + finding.words;
          break;
        }
      }
      report.problem(why);
    } else if (std::optional<std::string> away = ledAway(result, start)) {
      report.problem(*away);
      report.advise(kLedAwayAdvice);
    } else {
      report.fine(who + " will start the host " + verdict.manifest->path + " through " +
                  verdict.manifestPath);
      SocketDiagnosis socket(reportSocketSetting(result, start, report));
      if (socket.setting().unusable) {
        report.warning(*socket.setting().unusable);
      } else if (result.outcome == ProbeOutcome::kConnected) {
        report.note("the host reached the application at " + socket.setting().path);
      } else {
        report.warning("the application does not answer now at " + socket.setting().path + ": " +
                       socket.check().explanation);
      }
    }
  }
  for (const std::string& warning : verdict.warnings) report.warning(warning);
  for (const std::string& note : verdict.notes) report.note(note);
  const bool yes = report.count(Kind::kProblem) == 0;
  if (context.options.json) {
    report.printJson(context.out);
    return yes ? kExitSuccess : kExitFailure;
  }
  bool first = true;
  for (const doctor::Finding& finding : report.all()) {
    if (first) {
      context.out << (yes ? "yes: " : "no: ") << doctor::printable(finding.words) << "\n";
      if (!finding.fix.empty()) context.out << "fix: " << doctor::printable(finding.fix) << "\n";
      if (!finding.advice.empty()) {
        context.out << "what to do: " << doctor::printable(finding.advice) << "\n";
      }
      first = false;
      continue;
    }
    const char* kind = finding.kind == Kind::kWarning   ? "warning: "
                       : finding.kind == Kind::kProblem ? "problem: "
                                                        : "note: ";
    context.out << kind << doctor::printable(finding.words) << "\n";
    if (!finding.fix.empty()) context.out << "fix: " << doctor::printable(finding.fix) << "\n";
    if (!finding.advice.empty()) {
      context.out << "what to do: " << doctor::printable(finding.advice) << "\n";
    }
  }
  return yes ? kExitSuccess : kExitFailure;
}

}  // namespace

int runDoctor(const Context& context) {
  const Options& options = context.options;
  if (!options.origins.empty() || !options.extensionIds.empty()) {
    Asked asked = askedQuestion(options);
    if (!asked.question) {
      context.err << "error: " << asked.error << "\n";
      return kExitUsage;
    }
    return answerQuestion(context, *asked.question);
  }
  TargetList list = inspectTargets(options, context.environment);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  Report report;
  const std::vector<doctor::RunningBrowser> running =
      options.system ? std::vector<doctor::RunningBrowser>{} : browsersOfThisUser(context);
  std::vector<FoundManifest> found;
  int present = 0;
  for (const Target& target : list.targets) {
    if (std::optional<FoundManifest> entry = examine(context, target, report, present)) {
      found.push_back(*entry);
    }
  }
  report.about("", "");
  if (present == 0) reportNothingFound(context, list, report);
  reportWinners(list, report);
  reportPolicies(context, list, found, report);
  reportInstalledExtensions(context, list, found, running, report);
  reportUncoveredBrowsers(context, list, found, running, report);
  reportEnvironment(context, running, report);
  probeHosts(context, found, running, report);
  reportSandboxes(context.environment, report);
  if (options.json) {
    report.printJson(context.out);
  } else {
    report.printReport(context.out);
  }
  return report.count(Kind::kProblem) == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
