// status: one line per manifest location, saying what is there.

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "package_manifest.h"
#include "targets.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

std::string joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : ", ") + value;
  return text;
}

struct Finding {
  bool present = false;
  bool broken = false;
};

Finding describe(const Context& context, const Target& target) {
  FileContents existing = readWholeFile(target.manifestPath);
  std::ostream& out = context.out;
  out << target.label << ": ";
  if (existing.state == FileState::kMissing) {
    out << "not registered\n";
    return {};
  }
  if (existing.state == FileState::kSteered) {
    out << "not read: " << existing.reason << "\n";
    return {.present = true};
  }
  if (isUnusable(existing.state)) {
    out << "broken: cannot read " << target.manifestPath << ": " << existing.reason << "\n";
    return {.present = true, .broken = true};
  }
  ManifestReading reading = readManifest(existing.text, target.family);
  Problem hostGone = reading.manifest ? checkHostPath(reading.manifest->path) : std::nullopt;
  if (hostGone) out << "broken, ";
  out << ownerPhrase(reading.manifest ? ownerOf(*reading.manifest) : ManifestOwner::kSomeoneElse)
      << "\n  manifest: " << target.manifestPath << "\n";
  if (reading.manifest) {
    out << "  host: " << reading.manifest->path << "\n  " << allowedMember(target.family) << ": "
        << joined(reading.manifest->allowed) << "\n";
  }
  if (hostGone) out << "  broken: " << *hostGone << "\n";
  if (!reading.problems.empty()) {
    out << "  faults: " << joined(reading.problems) << " (run doctor for details)\n";
  }
  return {.present = true, .broken = hostGone.has_value()};
}

}  // namespace

int runStatus(const Context& context) {
  TargetList list = inspectTargets(context.options, context.environment);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  bool anyFound = false;
  bool anyBroken = false;
  for (const Target& target : list.targets) {
    Finding finding = describe(context, target);
    anyFound = anyFound || finding.present;
    anyBroken = anyBroken || finding.broken;
  }
  if (!anyFound) {
    context.out << context.options.name << " is not registered with any of these browsers\n";
  }
  return anyFound && !anyBroken ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
