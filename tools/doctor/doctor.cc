// doctor: checks every manifest of the host it can find, starts each host
// they name as a browser would, and says in plain words what is wrong and
// what would mend it.

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include "browser_presence.h"
#include "build_config.h"  // generated: OSTREL_VERSION
#include "build_facts.h"
#include "commands.h"
#include "files.h"
#include "host/settings.h"
#include "host_probe.h"
#include "installed_extensions.h"
#include "manifest.h"
#include "open_app_plan.h"
#include "package_manifest.h"
#include "running_browsers.h"
#include "sandboxes.h"
#include "socket_check.h"
#include "targets.h"
#include "tools/common/paths.h"
#include "trace.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// Collects the report's lines and counts the problems.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void heading(const std::string& text) { out_ << text << "\n"; }
  void fine(const std::string& text) { out_ << "  ok: " << text << "\n"; }
  void note(const std::string& text) { out_ << "  note: " << text << "\n"; }
  void fix(const std::string& text) { out_ << "  fix: " << text << "\n"; }
  void problem(const std::string& text) {
    out_ << "  problem: " << text << "\n";
    ++problems_;
  }
  void problem(const Problem& problem) {
    if (problem) this->problem(*problem);
  }
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

struct FoundManifest {
  Target target;
  Manifest manifest;
};

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

void checkMembers(const Target& target, const Manifest& manifest, Report& report) {
  std::string stem = target.manifestPath.substr(target.manifestPath.rfind('/') + 1);
  stem = stem.substr(0, stem.size() - std::strlen(".json"));
  report.problem(checkHostName(manifest.name));
  if (manifest.name != stem) {
    report.problem("the name \"" + manifest.name + "\" differs from the file name \"" + stem +
                   ".json\"; browsers look the host up by file name and then insist they match");
  }
  if (manifest.type != "stdio") {
    report.problem("the type is \"" + manifest.type + R"(", not "stdio")");
  }
  report.problem(checkHostPath(manifest.path));
  for (const std::string& allowed : manifest.allowed) {
    report.problem(target.family == Family::kChromium ? checkChromiumOrigin(allowed)
                                                      : checkFirefoxExtensionId(allowed));
  }
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
  if (target.scope == Scope::kSystem) command = "sudo " + command + " --system";
  const char* option = target.family == Family::kChromium ? " --origin " : " --extension-id ";
  for (const std::string& id : allowed) command += option + quotedWord(id);
  if (!hostPath.empty() && resolved(hostPath) != resolved(context.defaultHostPath)) {
    command += " --host-path " + quotedWord(hostPath);
  }
  if (context.options.name != kDefaultHostName) command += " --name " + context.options.name;
  return command;
}

std::string asRoot(const Target& target) {
  return target.scope == Scope::kSystem && ::geteuid() != 0 ? "sudo " : "";
}

// Reads and checks the manifest of one target; nothing when none is there
// or it cannot be used. Counts every file present in `present`.
std::optional<FoundManifest> examine(const Context& context, const Target& target, Report& report,
                                     int& present) {
  FileContents contents = readWholeFile(target.manifestPath);
  if (contents.state == FileState::kMissing) return std::nullopt;
  ++present;
  report.heading(target.label + ": " + target.manifestPath);
  if (contents.state == FileState::kUnreadable) {
    report.problem("cannot read it: " + contents.reason);
    report.fix("the browser reads it as its user, so make it readable: " + asRoot(target) +
               "chmod 644 " + target.manifestPath + " (and let every folder above it be entered)");
    return std::nullopt;
  }
  ManifestReading reading = readManifest(contents.text, target.family);
  int before = report.problems();
  for (const std::string& problem : reading.problems) report.problem(problem);
  if (reading.manifest) checkMembers(target, *reading.manifest, report);
  bool own = reading.manifest && isOwnManifest(*reading.manifest);
  bool packaged = reading.manifest && ownerOf(*reading.manifest) == ManifestOwner::kPackage;
  if (report.problems() == before) {
    report.fine("the manifest is well formed");
  } else if (own) {
    report.fix("rewrite it: " +
               installCommand(context, target, reading.manifest->allowed, reading.manifest->path));
  } else if (packaged) {
    report.fix("reinstall the ostrel-native-host package, or build one with the right ids");
  } else {
    report.fix(
        "it was not written by this tool, so install replaces it only when given --force; or "
        "mend it by hand");
  }
  if (packaged) {
    report.note(packageManifestNote());
  } else if (reading.manifest && !own) {
    report.note("it was not written by this tool");
  }
  if (reading.manifest) {
    report.note(std::string("it allows ") + (reading.manifest->allowed.empty()
                                                 ? std::string("no extension")
                                                 : shellWords(reading.manifest->allowed)));
  }
  if (!reading.manifest) return std::nullopt;
  return FoundManifest{target, *reading.manifest};
}

// Where doctor looked, for when it found nothing.
void reportNothingFound(const Context& context, const TargetList& list, Report& report) {
  report.heading("Manifests:");
  report.problem("no manifest named " + manifestFileName(context.options.name) +
                 " was found in any of these folders:");
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
  report.fix(
      "register the host with: ostrel-native-host-setup install --browser NAME --origin "
      "chrome-extension://<id>/ (Chromium family) or --extension-id ID (Firefox)");
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
    report.problem("on \"open_app\" nothing will start: " + program +
                   " is not an executable file given by its absolute path");
  }
}

// Why the application did not answer, asked once per run.
class SocketDiagnosis {
 public:
  explicit SocketDiagnosis(SocketSetting setting) : setting_(std::move(setting)) {}
  const SocketSetting& setting() const { return setting_; }
  const std::string& cause() {
    if (!cause_) {
      SocketCheck check = checkSocket(setting_.path);
      cause_ = check.state == SocketState::kAccepting
                   ? "it answers now, so it may have just started; run doctor again"
                   : check.explanation;
    }
    return *cause_;
  }

 private:
  SocketSetting setting_;
  std::optional<std::string> cause_;
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
        report.problem("the application did not answer at " + path + ": " + socket.cause());
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

// Where the probed host looks for the application: worked out from the
// environment it really received, which a wrapper may have changed, or,
// where the system does not tell, from this process's own.
SocketSetting reportSocketSetting(const ProbeResult& result, Report& report) {
  const SocketSetting own = hostSocketSetting();
  if (!result.environment) {
    report.note("it looks for the application's socket at " +
                (own.path.empty() ? "(no path)" : own.path) + ", " + own.source +
                " (assumed: the system does not tell which environment the host received, so "
                "this shell's is taken; a wrapper script may set another path)");
    return own;
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
              from);
  if (setting.path != own.path) {
    report.note("that is not where a host started straight from this shell would look (" +
                (own.path.empty() ? "(no path)" : own.path) +
                "): the registration changes its environment");
  }
  return setting;
}

// Starts each distinct host once, as the first browser naming it would.
void probeHosts(const Context& context, const std::vector<FoundManifest>& found, Report& report) {
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
    ProbeResult result = probeHost(
        manifest.path,
        browserArguments(entry.target.family, entry.target.manifestPath, manifest.allowed.front()),
        context.probeDeadline);
    SocketDiagnosis socket(reportSocketSetting(result, report));
    report.problem(socket.setting().unusable);
    const char* ownValue = std::getenv(kSocketPathVariable);
    const char* hostValue =
        result.environment ? valueIn(*result.environment, kSocketPathVariable) : ownValue;
    if (ownValue != nullptr && hostValue != nullptr && std::string(ownValue) == hostValue) {
      report.note(std::string(kSocketPathVariable) +
                  " is set in this shell; a browser started elsewhere may not have it");
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

std::string idOf(Family family, const std::string& allowed) {
  constexpr std::string_view kScheme = "chrome-extension://";
  if (family == Family::kFirefox || !allowed.starts_with(kScheme)) return allowed;
  std::string id = allowed.substr(kScheme.size());
  if (id.ends_with('/')) id.pop_back();
  return id;
}

std::string allowedFormOf(Family family, const std::string& id) {
  return family == Family::kChromium ? "chrome-extension://" + id + "/" : id;
}

std::string described(const InstalledExtension& extension, const Profile& profile) {
  std::string text = extension.id;
  if (!extension.name.empty()) text += " (\"" + extension.name + "\")";
  if (extension.unpacked) text += ", loaded unpacked,";
  return text + " in the profile " + profile.folder;
}

// One browser's profiles, or one --user-data-dir, set against the
// registrations found: what is installed and allowed, near misses, and
// extensions allowed elsewhere but not for this browser.
struct ProfileSet {
  Target target;  // where a registration for these profiles goes
  std::vector<Profile> profiles;
};

void compareProfiles(const Context& context, const ProfileSet& set,
                     const std::vector<FoundManifest>& found, bool& headed, Report& report) {
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
  if (!headed) report.heading("Installed extensions:");
  headed = true;
  report.heading(set.target.label + ": " + std::to_string(set.profiles.size()) +
                 (set.profiles.size() == 1 ? " profile" : " profiles") + " found");
  bool anyAllowedInstalled = false;
  for (const Profile& profile : set.profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      const std::string allowed = allowedFormOf(family, extension.id);
      if (allowedHere.contains(extension.id)) {
        anyAllowedInstalled = true;
        report.fine("allowed and installed: " + described(extension, profile));
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
        report.fix("if that is the extension meant to connect: " +
                   installCommand(context, set.target, {allowed}, hostPath));
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
      std::vector<std::string> ids;
      for (const Profile& profile : set.profiles) {
        for (const InstalledExtension& extension : profile.extensions) ids.push_back(extension.id);
      }
      if (!ids.empty()) {
        report.note("the add-ons installed there are " + shellWords(ids) +
                    "; Firefox compares the add-on's id (browser_specific_settings.gecko.id) "
                    "with allowed_extensions");
      }
    }
  }
}

void reportInstalledExtensions(const Context& context, const TargetList& list,
                               std::vector<FoundManifest> found, Report& report) {
  std::vector<ProfileSet> sets;
  std::set<const Browser*> seen;
  for (const Target& target : list.targets) {
    if (target.scope != Scope::kUser && target.browser != nullptr) continue;
    if (target.browser != nullptr && !seen.insert(target.browser).second) continue;
    const std::string root = target.browser != nullptr
                                 ? profilesRoot(*target.browser, context.environment)
                                 : common::parentFolder(target.folder);
    std::vector<Profile> profiles = findProfiles(target.family, root);
    if (!profiles.empty()) sets.push_back({target, std::move(profiles)});
  }
  // A running browser's own profile folder is looked at too.
  if (!context.options.userDataDir && !context.options.system) {
    for (const RunningBrowser& running : browsersWithUserDataDir()) {
      std::vector<Profile> profiles = findProfiles(Family::kChromium, running.userDataDir);
      if (profiles.empty()) continue;
      const std::string folder = userDataManifestFolder(running.userDataDir);
      Target target{.label = "profile folder " + running.userDataDir,
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
      sets.push_back({std::move(target), std::move(profiles)});
    }
  }
  if (sets.empty() || found.empty()) return;
  bool headed = false;
  for (const ProfileSet& set : sets) compareProfiles(context, set, found, headed, report);
}

// The browsers that will look for the host but find no registration: one
// that looks installed while another of its family has one, and a running
// Chromium-family browser with a --user-data-dir of its own.
void reportUncoveredBrowsers(const Context& context, const TargetList& list,
                             const std::vector<FoundManifest>& found, Report& report) {
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
  for (const RunningBrowser& running : browsersWithUserDataDir()) {
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

void reportSandboxes(const Environment& environment, Report& report) {
  std::vector<SandboxedBrowser> sandboxed = findSandboxedBrowsers(environment);
  if (sandboxed.empty()) return;
  report.heading("Sandboxed browsers:");
  for (const SandboxedBrowser& entry : sandboxed) {
    report.problem(std::string(entry.browser->displayName) + " is installed as a " +
                   entry.packaging + " (" + entry.location +
                   "); its sandbox does not read host manifests from the usual folders and "
                   "cannot reach the application's socket, so the host will not work with it");
  }
}

}  // namespace

int runDoctor(const Context& context) {
  TargetList list = inspectTargets(context.options, context.environment);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  Report report(context.out);
  std::vector<FoundManifest> found;
  int present = 0;
  for (const Target& target : list.targets) {
    if (std::optional<FoundManifest> entry = examine(context, target, report, present)) {
      found.push_back(*entry);
    }
  }
  if (present == 0) reportNothingFound(context, list, report);
  reportInstalledExtensions(context, list, found, report);
  reportUncoveredBrowsers(context, list, found, report);
  probeHosts(context, found, report);
  reportSandboxes(context.environment, report);
  if (report.problems() == 0) {
    context.out << "No problems found.\n";
    return kExitSuccess;
  }
  context.out << report.problems() << (report.problems() == 1 ? " problem" : " problems")
              << " found.\n";
  return kExitFailure;
}

}  // namespace ostrel::setup
