#include "targets.h"

#include "files.h"
#include "manifest.h"

namespace ostrel::setup {
namespace {

std::string_view platformName(Platform platform) {
  return platform == Platform::kLinux ? "Linux" : "macOS";
}

Target makeTarget(std::string label, Family family, Scope scope, const std::string& folder,
                  const std::string& name) {
  return Target{.label = std::move(label),
                .family = family,
                .scope = scope,
                .folder = folder,
                .manifestPath = joinPath(folder, manifestFileName(name))};
}

// The single target of --user-data-dir, or an error when other options
// contradict it.
TargetList userDataTargets(const Options& options) {
  TargetList list;
  if (options.system) {
    list.error = "--user-data-dir names one profile folder and cannot be combined with --system";
    return list;
  }
  if (!options.userDataDir->starts_with('/')) {
    list.error = "--user-data-dir must be an absolute path";
    return list;
  }
  for (const Browser* browser : options.browsers) {
    if (browser->family != Family::kChromium && !options.allBrowsers) {
      list.error = "--user-data-dir applies to Chromium-family browsers only, not " +
                   std::string(browser->displayName);
      return list;
    }
  }
  std::string folder = userDataManifestFolder(*options.userDataDir);
  list.targets.push_back(makeTarget("profile folder " + *options.userDataDir, Family::kChromium,
                                    Scope::kUser, folder, options.name));
  return list;
}

void addTarget(TargetList& list, const Browser& browser, Scope scope, const Options& options,
               const Environment& environment, bool explicitlyNamed) {
  std::optional<std::string> folder = manifestFolder(browser, scope, environment);
  std::string scopeName = scope == Scope::kUser ? "per user" : "system-wide";
  if (!folder) {
    std::string note = "no system-wide folder is known for " + std::string(browser.displayName) +
                       " on " + std::string(platformName(environment.platform));
    if (explicitlyNamed) {
      list.error = note + "; install it per user instead";
    } else {
      list.notes.push_back(note);
    }
    return;
  }
  list.targets.push_back(makeTarget(std::string(browser.displayName) + ", " + scopeName,
                                    browser.family, scope, *folder, options.name));
  list.targets.back().browser = &browser;
}

std::vector<const Browser*> chosenBrowsers(const Options& options, bool defaultToAll) {
  if (!options.browsers.empty() || !defaultToAll) return options.browsers;
  std::vector<const Browser*> all;
  for (const Browser& browser : allBrowsers()) all.push_back(&browser);
  return all;
}

}  // namespace

TargetList changeTargets(const Options& options, const Environment& environment,
                         bool defaultToAll) {
  if (options.userDataDir) return userDataTargets(options);
  TargetList list;
  Scope scope = options.system ? Scope::kSystem : Scope::kUser;
  bool named = !options.allBrowsers && !options.browsers.empty();
  for (const Browser* browser : chosenBrowsers(options, defaultToAll)) {
    addTarget(list, *browser, scope, options, environment, named);
    if (!list.error.empty()) break;
  }
  return list;
}

TargetList inspectTargets(const Options& options, const Environment& environment) {
  if (options.userDataDir) return userDataTargets(options);
  TargetList list;
  for (const Browser* browser : chosenBrowsers(options, true)) {
    if (!options.system) addTarget(list, *browser, Scope::kUser, options, environment, false);
    addTarget(list, *browser, Scope::kSystem, options, environment, false);
  }
  list.notes.clear();  // looking finds nothing where no folder exists; no need to say so
  return list;
}

}  // namespace ostrel::setup
