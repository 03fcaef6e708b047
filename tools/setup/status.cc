// status: one line per manifest location, saying what is there.

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "targets.h"

namespace ostrel::setup {
namespace {

std::string joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : ", ") + value;
  return text;
}

// True when a manifest of the host is present at the target.
bool describe(const Context& context, const Target& target) {
  FileContents existing = readWholeFile(target.manifestPath);
  std::ostream& out = context.out;
  out << target.label << ": ";
  if (existing.state == FileState::kMissing) {
    out << "not installed\n";
    return false;
  }
  if (existing.state == FileState::kUnreadable) {
    out << "cannot read " << target.manifestPath << ": " << existing.reason << "\n";
    return true;
  }
  ManifestReading reading = readManifest(existing.text, target.family);
  out << (reading.manifest && isOwnManifest(*reading.manifest) ? "installed by this tool"
                                                               : "installed by someone else")
      << "\n  manifest: " << target.manifestPath << "\n";
  if (reading.manifest) {
    out << "  host: " << reading.manifest->path << "\n  " << allowedMember(target.family) << ": "
        << joined(reading.manifest->allowed) << "\n";
  }
  if (!reading.problems.empty()) {
    out << "  faults: " << joined(reading.problems) << " (run doctor for details)\n";
  }
  return true;
}

}  // namespace

int runStatus(const Context& context) {
  TargetList list = inspectTargets(context.options, context.environment);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  bool anyFound = false;
  for (const Target& target : list.targets) anyFound = describe(context, target) || anyFound;
  if (!anyFound) {
    context.out << context.options.name << " is not registered with any of these browsers\n";
  }
  return anyFound ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
