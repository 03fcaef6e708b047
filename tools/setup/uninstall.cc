// uninstall: removes the manifests this tool wrote and leaves every other
// file alone, so a manifest placed by hand or by another program survives.

#include <unistd.h>

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "targets.h"
#include "tools/common/paths.h"
#include "trace.h"

namespace ostrel::setup {
namespace {

// Per user, the folders install made for the manifest go when they are left
// empty: the manifest folder, and the browser's folder above it when that
// holds nothing else (a browser that was never started).
void removeEmptyFolders(const Context& context, const Target& target) {
  if (target.scope != Scope::kUser) return;
  std::string folder = target.folder;
  for (int level = 0; level < (target.browser != nullptr ? 2 : 1); ++level) {
    if (folder == context.environment.home || folder == context.environment.configHome) return;
    FolderRemoval removal = removeFolderIfEmpty(folder);
    if (removal.problem) context.err << "warning: " << *removal.problem << "\n";
    if (!removal.removed) return;
    context.out << "removed the empty folder " << folder << "\n";
    folder = common::parentFolder(folder);
  }
}

// Per user: the system-wide registrations of the same browsers stay, and
// browsers go on finding the host through them.
void reportSystemWideLeft(const Context& context, const TargetList& list) {
  if (context.options.system || context.options.userDataDir) return;
  for (const Target& target : list.targets) {
    if (target.browser == nullptr) continue;
    std::optional<std::string> folder =
        manifestFolder(*target.browser, Scope::kSystem, context.environment);
    if (!folder) continue;
    const std::string path = joinPath(*folder, manifestFileName(context.options.name));
    FileContents existing = readWholeFile(path);
    if (existing.state == FileState::kMissing) continue;
    ManifestReading reading = readManifest(existing.text, target.family);
    const bool own = reading.manifest && isOwnManifest(*reading.manifest);
    context.out << "note: a system-wide registration remains at " << path << "; "
                << target.browser->displayName << " still finds the host through it"
                << (own ? "; remove it with: sudo ostrel-native-host-setup uninstall --system "
                          "--browser " +
                              std::string(target.browser->key)
                        : " (not written by this tool: it goes with the package that placed it)")
                << "\n";
  }
}

// False after reporting a failure.
bool uninstallOne(const Context& context, const Target& target) {
  // Read as a write finds it: the removal is one.
  FileContents existing = examineForWrite(target.manifestPath).contents;
  if (existing.state == FileState::kMissing) {
    context.out << "not registered: " << target.manifestPath << " (" << target.label << ")\n";
    return true;
  }
  const char* hint = target.scope == Scope::kSystem && ::geteuid() != 0
                         ? " (system-wide folders need root: run it with sudo)"
                         : "";
  if (isUnusable(existing.state)) {
    context.err << "error: cannot remove " << target.manifestPath << ": " << existing.reason << hint
                << "\n";
    return false;
  }
  ManifestReading reading = readManifest(existing.text, target.family);
  if (!reading.manifest || !isOwnManifest(*reading.manifest)) {
    context.out << "left alone: " << target.manifestPath << " was not written by this tool\n";
    return true;
  }
  if (Problem problem = removeFile(target.manifestPath)) {
    context.err << "error: " << *problem << hint << "\n";
    return false;
  }
  context.out << "removed: " << target.manifestPath << " (" << target.label << ")\n";
  removeEmptyFolders(context, target);
  return true;
}

// The tap's script, once no per-user registration names it any more.
void removeUnusedTrace(const Context& context) {
  const std::string script = traceScriptPath(context.environment, context.options.name);
  std::optional<TraceScript> tap = ownTraceScript(script);
  if (!tap || stillRegistered(context, script)) return;
  const std::optional<std::string>& log = tap->log;
  if (Problem problem = removeTraceScript(script)) {
    context.err << "warning: " << *problem << "\n";
    return;
  }
  context.out << "removed: " << script << " (the tap)\n";
  if (log) {
    context.out << "note: the tap's log " << *log << " stays; remove it yourself when done\n";
  }
}

}  // namespace

int runUninstall(const Context& context) {
  TargetList list = changeTargets(context.options, context.environment, true);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  if (Problem problem = checkHostName(context.options.name)) {
    context.err << "error: " << *problem << "\n";
    return kExitUsage;
  }
  bool allRemoved = true;
  for (const Target& target : list.targets) {
    allRemoved = uninstallOne(context, target) && allRemoved;
  }
  removeUnusedTrace(context);
  reportSystemWideLeft(context, list);
  return allRemoved ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
