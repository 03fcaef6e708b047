// install: checks every value and every manifest file first, then writes
// one manifest per target; when a write fails, it takes back what the run
// wrote before it, so a run registers the host everywhere or nowhere.

#include <unistd.h>

#include "browser_presence.h"
#include "commands.h"
#include "files.h"
#include "host_identity.h"
#include "host_location.h"
#include "host_probe.h"
#include "installed_extensions.h"
#include "manifest.h"
#include "targets.h"
#include "trace.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// One manifest to write, decided before anything is written.
struct Step {
  const Target* target = nullptr;
  std::string text;
  std::optional<std::string> previous;  // the file's text when it existed
};

// What one write changed, so that it can be taken back.
struct Change {
  const Target* target = nullptr;
  std::string writtenPath;  // the file replaced or created (a link's target)
  bool written = false;
  std::optional<std::string> previous;
  std::vector<std::string> createdFolders;  // outermost first
};

const std::vector<std::string>& allowedFor(const Options& options, Family family) {
  return family == Family::kChromium ? options.origins : options.extensionIds;
}

// Every problem with the values that go into the manifests.
std::vector<std::string> valueProblems(const Options& options, const std::string& hostPath) {
  std::vector<std::string> problems;
  auto add = [&](Problem problem) {
    if (problem) problems.push_back(std::move(*problem));
  };
  add(checkHostName(options.name));
  for (const std::string& origin : options.origins) add(checkChromiumOrigin(origin));
  for (const std::string& id : options.extensionIds) add(checkFirefoxExtensionId(id));
  add(checkHostPath(hostPath));
  add(checkLastingHostLocation(hostPath, currentPlatform()));
  return problems;
}

// Drops targets whose family has no ids to allow; an error when a browser
// was named explicitly and lacks them, or when ids were given that no
// target uses.
std::string matchIdsToTargets(const Options& options, TargetList& list) {
  bool chromiumNamed = false;
  bool firefoxNamed = false;
  for (const Target& target : list.targets) {
    (target.family == Family::kChromium ? chromiumNamed : firefoxNamed) = true;
  }
  if (!options.origins.empty() && !chromiumNamed) {
    return "--origin is for Chromium-family browsers; Firefox takes --extension-id";
  }
  if (!options.extensionIds.empty() && !firefoxNamed) {
    return "--extension-id is for Firefox; Chromium-family browsers take --origin";
  }
  std::vector<Target> kept;
  for (Target& target : list.targets) {
    bool chromium = target.family == Family::kChromium;
    if (!allowedFor(options, target.family).empty()) {
      kept.push_back(std::move(target));
    } else if (!options.allBrowsers) {
      return chromium ? "give at least one --origin chrome-extension://<id>/ for " + target.label
                      : "give at least one --extension-id for " + target.label;
    } else {
      list.notes.push_back("skipped " + target.label + ": no " +
                           (chromium ? "--origin" : "--extension-id") + " given");
    }
  }
  list.targets = std::move(kept);
  return {};
}

// With --browser all, keeps the browsers that look installed and names the
// others.
void keepInstalledBrowsers(const Context& context, TargetList& list) {
  if (!context.options.allBrowsers || context.options.userDataDir) return;
  std::vector<Target> kept;
  for (Target& target : list.targets) {
    if (installationSign(*target.browser, context.environment)) {
      kept.push_back(std::move(target));
    } else {
      list.notes.push_back("skipped " + target.label + ": it does not look installed (" +
                           installationPlaces(*target.browser, context.environment) +
                           "); name it with --browser to register it anyway");
    }
  }
  list.targets = std::move(kept);
}

// The host to register, checked: a path that exists, is executable and
// answers like the host. Reports each problem; false when there was one.
bool checkHost(const Context& context, const std::string& hostPath, const Target& first) {
  const Options& options = context.options;
  if (!options.hostPath && ::access(hostPath.c_str(), F_OK) != 0) {
    context.err << "error: no host at " << hostPath
                << ", where this tool looks by default (beside itself); give the host's "
                   "location with --host-path /path/to/ostrel-native-host\n";
    return false;
  }
  std::vector<std::string> problems = valueProblems(options, hostPath);
  if (problems.empty()) {
    const std::string& allowed = allowedFor(options, first.family).front();
    if (Problem problem = checkAnswersLikeHost(
            hostPath, browserArguments(first.family, first.manifestPath, allowed),
            context.hostCheckDeadline)) {
      problems.push_back(*problem);
    }
  }
  for (const std::string& problem : problems) context.err << "error: " << problem << "\n";
  return problems.empty();
}

std::string permissionHint(const Target& target) {
  return target.scope == Scope::kSystem && ::geteuid() != 0
             ? " (system-wide folders need root: run it with sudo)"
             : "";
}

// Decides what to do at one target without writing; false after reporting
// why nothing may be written there.
bool plan(const Context& context, const Target& target, const Manifest& manifest,
          std::vector<Step>& steps) {
  std::string text = renderManifest(manifest);
  FileContents existing = readWholeFile(target.manifestPath);
  if (isUnusable(existing.state)) {
    context.err << "error: cannot read " << target.manifestPath << ": " << existing.reason
                << permissionHint(target) << "\n";
    return false;
  }
  if (existing.state == FileState::kMissing) {
    steps.push_back({&target, std::move(text), std::nullopt});
    return true;
  }
  if (existing.text == text) {
    context.out << "already up to date: " << target.manifestPath << " (" << target.label << ")\n";
    return true;
  }
  ManifestReading reading = readManifest(existing.text, target.family);
  bool own = reading.manifest && isOwnManifest(*reading.manifest);
  if (!own && !context.options.force) {
    context.err << "error: " << target.manifestPath
                << " exists and was not written by this tool; remove it yourself or add --force\n";
    return false;
  }
  steps.push_back({&target, std::move(text), std::move(existing.text)});
  return true;
}

// Performs one step, recording in `change` what it altered.
Problem write(const Step& step, Change& change) {
  const Target& target = *step.target;
  change.target = &target;
  change.previous = step.previous;
  mode_t mode = target.scope == Scope::kUser ? 0700 : 0755;  // per user: as the XDG rules ask
  if (Problem problem = makeDirectories(target.folder, mode, change.createdFolders)) {
    return problem;
  }
  change.writtenPath = followLinks(target.manifestPath).value_or(target.manifestPath);
  Problem problem = writeFileAtomically(target.manifestPath, step.text);
  change.written = !problem;
  return problem;
}

// Takes back `changes`, newest first, reporting each.
void undo(const Context& context, const std::vector<Change>& changes) {
  for (std::size_t i = changes.size(); i-- > 0;) {
    const Change& change = changes[i];
    Problem problem;
    if (change.written) {
      problem = change.previous ? writeFileAtomically(change.writtenPath, *change.previous)
                                : removeFile(change.writtenPath);
      if (!problem) {
        context.err << "undone: " << (change.previous ? "restored " : "removed ")
                    << change.writtenPath << "\n";
      }
    }
    for (std::size_t j = change.createdFolders.size(); j-- > 0 && !problem;) {
      problem = removeFolder(change.createdFolders[j]);
    }
    if (problem) context.err << "error: could not undo: " << *problem << "\n";
  }
}

// With --trace, writes the tap's script and returns its path, which the
// manifests then name in the host's place; otherwise the host's path.
std::optional<std::string> registeredProgram(const Context& context, const std::string& hostPath) {
  const Options& options = context.options;
  if (!options.trace) return hostPath;
  if (options.system) {
    context.err << "error: --trace registers the tap for this user only; leave out --system (a "
                   "per-user registration is looked at before the system-wide one)\n";
    return std::nullopt;
  }
  const std::string script = traceScriptPath(context.environment, options.name);
  if (Problem problem = writeTraceScript(script, context.tapPath, *options.trace, hostPath)) {
    context.err << "error: " << *problem << "\n";
    return std::nullopt;
  }
  context.out << "tap: " << script << " runs " << hostPath << " and logs every frame to "
              << traceLogOf(script).value_or(*options.trace) << "\n";
  return script;
}

// After an install without --trace: the tap's script goes once no
// registration names it any more.
void removeUnusedTap(const Context& context) {
  const std::string script = traceScriptPath(context.environment, context.options.name);
  if (context.options.trace || !isTraceScript(script) || stillRegistered(context, script)) return;
  if (Problem problem = removeTraceScript(script)) {
    context.err << "warning: " << *problem << "\n";
  } else {
    context.out << "tap taken out: removed " << script << "\n";
  }
}

}  // namespace

// True when a manifest of this tool, for any browser, still names `program`.
bool stillRegistered(const Context& context, const std::string& program) {
  Options everywhere = context.options;
  everywhere.browsers.clear();
  everywhere.system = false;
  for (const Target& target : inspectTargets(everywhere, context.environment).targets) {
    FileContents existing = readWholeFile(target.manifestPath);
    if (existing.state != FileState::kPresent) continue;
    ManifestReading reading = readManifest(existing.text, target.family);
    if (reading.manifest && reading.manifest->path == program) return true;
  }
  return false;
}

int runInstall(const Context& context) {
  const Options& options = context.options;
  if (options.browsers.empty() && !options.userDataDir) {
    context.err << "error: name a browser with --browser (or --browser all), or give "
                   "--user-data-dir\n";
    return kExitUsage;
  }
  TargetList list = changeTargets(options, context.environment, false);
  if (list.error.empty()) list.error = matchIdsToTargets(options, list);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  if (list.targets.empty()) {
    context.err << "error: give --origin chrome-extension://<id>/ for Chromium-family browsers, "
                   "--extension-id for Firefox, or both\n";
    return kExitUsage;
  }
  std::string hostPath = options.hostPath.value_or(context.defaultHostPath);
  if (!checkHost(context, hostPath, list.targets.front())) return kExitUsage;
  if (options.userDataDir && !looksLikeUserDataFolder(*options.userDataDir)) {
    context.err << "warning: " << *options.userDataDir
                << " does not look like a browser's profile folder (no \"Local State\" and no "
                   "profile with \"Preferences\" in it); the browser reads the manifest there "
                   "only when started with --user-data-dir="
                << *options.userDataDir << "\n";
  }

  keepInstalledBrowsers(context, list);
  for (const std::string& note : list.notes) context.out << "note: " << note << "\n";
  if (list.targets.empty()) {
    context.err << "error: none of the browsers looks installed; name one with --browser to "
                   "register the host for it anyway\n";
    return kExitFailure;
  }

  std::optional<std::string> program = registeredProgram(context, hostPath);
  if (!program) return kExitFailure;
  std::vector<Step> steps;
  bool writable = true;
  for (const Target& target : list.targets) {
    Manifest manifest =
        ownManifest(options.name, *program, target.family, allowedFor(options, target.family));
    writable = plan(context, target, manifest, steps) && writable;
  }
  if (!writable) {
    context.err << "error: nothing was written\n";
    return kExitFailure;
  }

  std::vector<Change> changes;
  for (const Step& step : steps) {
    Change& change = changes.emplace_back();
    if (Problem problem = write(step, change)) {
      context.err << "error: " << *problem << permissionHint(*step.target) << "\n";
      undo(context, changes);
      context.err << "error: nothing was registered; what this run had written is taken back\n";
      return kExitFailure;
    }
  }
  for (const Change& change : changes) {
    context.out << (change.previous ? "updated: " : "installed: ") << change.target->manifestPath
                << " (" << change.target->label << ")\n";
  }
  context.out << "checked: " << hostPath
              << " answers as the host does (started once as a browser starts it; it connects "
                 "briefly to the application if that is running, and sends it nothing)\n";
  removeUnusedTap(context);
  return kExitSuccess;
}

}  // namespace ostrel::setup
