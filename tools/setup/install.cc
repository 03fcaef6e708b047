// install: checks every value and every manifest file first, then writes
// one manifest per target; when a write fails, it takes back what the run
// wrote before it, so a run registers the host everywhere or nowhere.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "browser_presence.h"
#include "commands.h"
#include "files.h"
#include "host_identity.h"
#include "host_location.h"
#include "host_probe.h"
#include "installed_extensions.h"
#include "manifest.h"
#include "targets.h"
#include "tools/common/paths.h"
#include "tools/common/trusted_path.h"
#include "trace.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// One file to write, decided before anything is written.
struct Step {
  std::string label{};   // "Chromium, per user"; empty for the tap's script
  std::string shown{};   // the path the user knows it by
  std::string folder{};  // made when missing
  mode_t folderMode = 0755;
  std::string path{};  // where the write lands (a link this user made is followed)
  std::string text{};
  mode_t mode = 0644;
  std::optional<std::string> previous{};  // the file's text when it existed
  std::string hint{};                     // said after a failure to write it
};

// What one write changed, so that it can be taken back.
struct Change {
  const Step* step = nullptr;
  bool written = false;
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

// Per user: as the XDG rules ask.
mode_t folderModeFor(Scope scope) { return scope == Scope::kUser ? 0700 : 0755; }

// Decides what to do at one target without writing; false after reporting
// why nothing may be written there.
bool plan(const Context& context, const Target& target, const Manifest& manifest,
          std::vector<Step>& steps) {
  std::string text = renderManifest(manifest);
  WriteTarget existing = examineForWrite(target.manifestPath);
  FileContents& contents = existing.contents;
  if (isUnusable(contents.state)) {
    context.err << "error: cannot write " << target.manifestPath << ": " << contents.reason
                << permissionHint(target) << "\n";
    return false;
  }
  Step step{.label = target.label,
            .shown = target.manifestPath,
            .folder = target.folder,
            .folderMode = folderModeFor(target.scope),
            .path = existing.path,
            .text = std::move(text),
            .hint = permissionHint(target)};
  if (contents.state == FileState::kMissing) {
    steps.push_back(std::move(step));
    return true;
  }
  if (contents.text == step.text) {
    context.out << "already up to date: " << target.manifestPath << " (" << target.label << ")\n";
    return true;
  }
  ManifestReading reading = readManifest(contents.text, target.family);
  bool own = reading.manifest && isOwnManifest(*reading.manifest);
  if (!own && existing.link) {
    // --force would write through the link into a file this tool did not
    // write: it is not offered.
    context.err << "error: " << *existing.link << " is a symbolic link to " << existing.path
                << ", which was not written by this tool; replace the link with a file, or remove "
                   "it, yourself\n";
    return false;
  }
  if (!own && !context.options.force) {
    context.err << "error: " << target.manifestPath
                << " exists and was not written by this tool; remove it yourself or add --force\n";
    return false;
  }
  step.previous = std::move(contents.text);
  steps.push_back(std::move(step));
  return true;
}

// Performs one step, recording in `change` what it altered.
Problem write(const Step& step, Change& change) {
  change.step = &step;
  if (Problem problem = makeDirectories(step.folder, step.folderMode, change.createdFolders)) {
    return problem;
  }
  Problem problem = writeFileAtomically(step.path, step.text, step.mode);
  change.written = !problem;
  return problem;
}

// Takes back `changes`, newest first, reporting each; false when something
// stays.
bool undo(const Context& context, const std::vector<Change>& changes) {
  bool complete = true;
  for (std::size_t i = changes.size(); i-- > 0;) {
    const Change& change = changes[i];
    const Step& step = *change.step;
    Problem problem;
    if (change.written) {
      problem = step.previous ? writeFileAtomically(step.path, *step.previous, step.mode)
                              : removeFile(step.path);
      if (!problem) {
        context.err << "undone: " << (step.previous ? "restored " : "removed ") << step.path
                    << "\n";
      }
    }
    for (std::size_t j = change.createdFolders.size(); j-- > 0 && !problem;) {
      problem = removeFolder(change.createdFolders[j]);
    }
    if (problem) {
      context.err << "error: could not undo: " << *problem << "\n";
      complete = false;
    }
  }
  return complete;
}

// True when the manifest at `path` names `program`, or cannot be read to
// tell.
bool namesProgram(const std::string& path, const std::string& program) {
  FileContents existing = examineForWrite(path).contents;
  if (existing.state != FileState::kPresent) return existing.state == FileState::kUnreadable;
  ManifestReading reading = readManifest(existing.text, Family::kChromium);
  return reading.manifest && reading.manifest->path == program;
}

// With --trace: checks that the tap is there and plans its script, naming
// the manifests of this run and those of earlier runs that still name it.
// False after reporting why not.
bool planTap(const Context& context, const std::string& script, const std::string& hostPath,
             const std::string& logPath, const std::vector<Target>& targets,
             std::vector<Step>& steps) {
  const Options& options = context.options;
  if (options.system) {
    context.err << "error: --trace registers the tap for this user only; leave out --system (a "
                   "per-user registration is looked at before the system-wide one)\n";
    return false;
  }
  if (::access(context.tapPath.c_str(), X_OK) != 0) {
    context.err << "error: the tap is not at " << context.tapPath << " (" << std::strerror(errno)
                << "); it is installed beside this tool\n";
    return false;
  }
  WriteTarget existing = examineForWrite(script);
  if (existing.contents.state == FileState::kUnreadable) {
    context.err << "error: cannot write " << script << ": " << existing.contents.reason << "\n";
    return false;
  }
  const bool present = existing.contents.state == FileState::kPresent;
  std::optional<TraceScript> earlier =
      present ? readTraceScript(existing.contents.text) : std::nullopt;
  if (present && !earlier) {
    context.err << "error: " << script
                << " exists and was not written by this tool; remove it "
                   "yourself\n";
    return false;
  }
  std::vector<std::string> registrations;
  registrations.reserve(targets.size());
  for (const Target& target : targets) registrations.push_back(target.manifestPath);
  if (earlier) {
    for (const std::string& manifest : earlier->registrations) {
      if (std::ranges::find(registrations, manifest) == registrations.end() &&
          namesProgram(manifest, script)) {
        registrations.push_back(manifest);
      }
    }
  }
  Step step{.shown = script,
            .folder = common::parentFolder(script),
            .folderMode = 0700,
            .path = existing.path,
            .text = traceScript(context.tapPath, logPath, hostPath, registrations,
                                traceFolders(script, earlier)),
            .mode = 0755};
  if (present) step.previous = std::move(existing.contents.text);
  steps.insert(steps.begin(), std::move(step));
  return true;
}

// After an install without --trace: the tap's script goes once no
// registration names it any more.
void removeUnusedTap(const Context& context) {
  const std::string script = traceScriptPath(context.environment, context.options.name);
  if (context.options.trace) return;
  std::optional<TraceScript> tap = ownTraceScript(script);
  if (!tap || stillRegistered(context, script)) return;
  const std::optional<std::string>& log = tap->log;
  if (Problem problem = removeTraceScript(script)) {
    context.err << "warning: " << *problem << "\n";
  } else {
    context.out << "tap taken out: removed " << script << "\n";
    if (log) {
      context.out << "note: the tap's log " << *log << " stays; remove it yourself when done\n";
    }
  }
}

}  // namespace

bool stillRegistered(const Context& context, const std::string& program) {
  // Every per-user folder of every browser, whatever this run was given ...
  Options everywhere = context.options;
  everywhere.browsers.clear();
  everywhere.userDataDir.reset();
  everywhere.system = false;
  auto names = [&](const std::string& manifest) { return namesProgram(manifest, program); };
  const TargetList list = changeTargets(everywhere, context.environment, true);
  std::vector<std::string> manifests;
  manifests.reserve(list.targets.size());
  for (const Target& target : list.targets) manifests.push_back(target.manifestPath);
  // ... and the profile folders the tap's script was registered in.
  if (std::optional<TraceScript> tap = ownTraceScript(program)) {
    std::ranges::copy(tap->registrations, std::back_inserter(manifests));
  }
  return std::ranges::any_of(manifests, names);
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
  if (!options.system) {
    if (Problem problem =
            checkHomeOutsideSandbox(context.environment.home, context.environment.platform)) {
      context.err << "error: " << *problem << "\nerror: nothing was written\n";
      return kExitFailure;
    }
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

  // Everything is decided before anything is written.
  const std::string script = traceScriptPath(context.environment, options.name);
  const std::string program = options.trace ? script : hostPath;
  std::vector<Step> steps;
  bool writable = true;
  for (const Target& target : list.targets) {
    Manifest manifest =
        ownManifest(options.name, program, target.family, allowedFor(options, target.family));
    writable = plan(context, target, manifest, steps) && writable;
  }
  TraceLog log{.path = options.trace ? common::absolutePath(*options.trace) : ""};
  if (writable && options.trace) {
    writable = planTap(context, script, hostPath, log.path, list.targets, steps);
  }
  if (!writable) {
    context.err << "error: nothing was written\n";
    return kExitFailure;
  }
  if (options.trace) {
    if (Problem problem = prepareTraceLog(*options.trace, log)) {
      context.err << "error: " << *problem << "\nerror: nothing was written\n";
      return kExitFailure;
    }
  }

  std::vector<Change> changes;
  for (const Step& step : steps) {
    Change& change = changes.emplace_back();
    if (Problem problem = write(step, change)) {
      context.err << "error: " << *problem << step.hint << "\n";
      bool undone = undo(context, changes);
      if (log.created) {
        Problem removed = removeFile(log.path);
        undone = !removed && undone;
        if (removed) context.err << "error: could not undo: " << *removed << "\n";
      }
      context.err << (undone ? "error: nothing was registered; what this run had written is "
                               "taken back\n"
                             : "error: nothing was registered; what could not be taken back is "
                               "named above\n");
      return kExitFailure;
    }
  }
  for (const Change& change : changes) {
    const Step& step = *change.step;
    if (step.label.empty()) {
      context.out << "tap: " << step.shown << " runs " << hostPath << " and logs every frame to "
                  << log.path << "\n";
      const std::string moved = traceLogChange(step.previous, step.text);
      if (!moved.empty()) context.out << "note: " << moved << "\n";
    } else {
      context.out << (step.previous ? "updated: " : "installed: ") << step.shown << " ("
                  << step.label << ")\n";
    }
  }
  context.out << "checked: " << hostPath
              << " answers as the host does (started once as a browser starts it; it connects "
                 "briefly to the application if that is running, and sends it nothing)\n";
  removeUnusedTap(context);
  return kExitSuccess;
}

}  // namespace ostrel::setup
