// uninstall: removes the manifests this tool wrote and leaves every other
// file alone, so a manifest placed by hand or by another program survives.

#include <unistd.h>

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "targets.h"
#include "trace.h"

namespace ostrel::setup {
namespace {

// False after reporting a failure.
bool uninstallOne(const Context& context, const Target& target) {
  FileContents existing = readWholeFile(target.manifestPath);
  if (existing.state == FileState::kMissing) {
    context.out << "not registered: " << target.manifestPath << " (" << target.label << ")\n";
    return true;
  }
  if (existing.state == FileState::kUnreadable) {
    context.err << "error: cannot read " << target.manifestPath << ": " << existing.reason << "\n";
    return false;
  }
  ManifestReading reading = readManifest(existing.text, target.family);
  if (!reading.manifest || !isOwnManifest(*reading.manifest)) {
    context.out << "left alone: " << target.manifestPath << " was not written by this tool\n";
    return true;
  }
  if (Problem problem = removeFile(target.manifestPath)) {
    bool needsRoot = target.scope == Scope::kSystem && ::geteuid() != 0;
    context.err << "error: " << *problem
                << (needsRoot ? " (system-wide folders need root: run it with sudo)" : "") << "\n";
    return false;
  }
  context.out << "removed: " << target.manifestPath << " (" << target.label << ")\n";
  return true;
}

// The tap's script, once no per-user registration names it any more.
void removeUnusedTrace(const Context& context) {
  const std::string script = traceScriptPath(context.environment, context.options.name);
  if (!isTraceScript(script)) return;
  Options everywhere = context.options;
  everywhere.browsers.clear();
  everywhere.system = false;
  for (const Target& target : inspectTargets(everywhere, context.environment).targets) {
    FileContents existing = readWholeFile(target.manifestPath);
    if (existing.state != FileState::kPresent) continue;
    ManifestReading reading = readManifest(existing.text, target.family);
    if (reading.manifest && reading.manifest->path == script) return;
  }
  if (Problem problem = removeTraceScript(script)) {
    context.err << "warning: " << *problem << "\n";
  } else {
    context.out << "removed: " << script << " (the tap)\n";
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
  return allRemoved ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
