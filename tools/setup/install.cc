// install: writes one manifest per target after checking every value first,
// so that a bad origin never leaves some browsers registered and others not.

#include <unistd.h>

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "targets.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

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
    bool hasIds = chromium ? !options.origins.empty() : !options.extensionIds.empty();
    if (hasIds) {
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

std::string permissionHint(const Target& target) {
  return target.scope == Scope::kSystem && ::geteuid() != 0
             ? " (system-wide folders need root: run it with sudo)"
             : "";
}

// Writes one manifest; false after reporting a failure.
bool installOne(const Context& context, const Target& target, const Manifest& manifest) {
  std::string text = renderManifest(manifest);
  FileContents existing = readWholeFile(target.manifestPath);
  if (existing.state == FileState::kUnreadable) {
    context.err << "error: cannot read " << target.manifestPath << ": " << existing.reason << "\n";
    return false;
  }
  if (existing.state == FileState::kPresent) {
    if (existing.text == text) {
      context.out << "already up to date: " << target.manifestPath << " (" << target.label << ")\n";
      return true;
    }
    ManifestReading reading = readManifest(existing.text, target.family);
    bool own = reading.manifest && isOwnManifest(*reading.manifest);
    if (!own && !context.options.force) {
      context.err
          << "error: " << target.manifestPath
          << " exists and was not written by this tool; remove it yourself or add --force\n";
      return false;
    }
  }
  Problem problem = makeDirectories(target.folder);
  if (!problem) problem = writeFileAtomically(target.manifestPath, text);
  if (problem) {
    context.err << "error: " << *problem << permissionHint(target) << "\n";
    return false;
  }
  context.out << (existing.state == FileState::kPresent ? "updated: " : "installed: ")
              << target.manifestPath << " (" << target.label << ")\n";
  return true;
}

}  // namespace

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
  std::string hostPath = options.hostPath.value_or(context.defaultHostPath);
  std::vector<std::string> problems = valueProblems(options, hostPath);
  for (const std::string& problem : problems) context.err << "error: " << problem << "\n";
  if (!problems.empty()) return kExitUsage;

  for (const std::string& note : list.notes) context.out << "note: " << note << "\n";
  bool allWritten = true;
  for (const Target& target : list.targets) {
    const auto& allowed =
        target.family == Family::kChromium ? options.origins : options.extensionIds;
    Manifest manifest = ownManifest(options.name, hostPath, target.family, allowed);
    allWritten = installOne(context, target, manifest) && allWritten;
  }
  return allWritten ? kExitSuccess : kExitFailure;
}

}  // namespace ostrel::setup
