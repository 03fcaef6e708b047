// The registrations, judged file by file by their browsers' rules, and the
// browsers that will look for the host but find no registration.

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <unordered_set>

#include "browser_presence.h"
#include "checks.h"
#include "files.h"
#include "fixes.h"
#include "manifest_rules.h"
#include "package_manifest.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"
#include "validation.h"
#include "verdict.h"

namespace ostrel::doctor {
namespace {

using setup::FileContents;
using setup::FileState;
using setup::Scope;
using setup::Target;

bool present(const std::string& path) {
  return setup::readWholeFile(path, 0).state != FileState::kMissing;
}

std::string systemWidePath(const Survey& survey, const setup::Browser& browser) {
  std::optional<std::string> folder =
      setup::manifestFolder(browser, Scope::kSystem, survey.context.environment);
  return folder ? setup::joinPath(*folder, setup::manifestFileName(survey.context.options.name))
                : std::string();
}

Place placeOf(const Survey& survey, const Target& target) {
  return {.browser = &browserOf(survey, target),
          .userDataDir = target.browser != nullptr
                             ? std::nullopt
                             : std::optional(common::parentFolder(target.folder)),
          .scope = target.scope};
}

// What mends a manifest whose faults the browser refuses it for.
void reportMend(const Survey& survey, const Target& target, const ManifestJudgement& judgement,
                bool hostFault, Findings& report) {
  const std::optional<setup::Manifest>& manifest = judgement.manifest;
  const bool own = manifest && setup::isOwnManifest(*manifest);
  if (manifest && setup::ownerOf(*manifest) == setup::ManifestOwner::kPackage) {
    report.advise("reinstall the ostrel-native-host package, or build one with the right ids");
    return;
  }
  if (judgement.faults.empty() && hostFault) {
    if (Fix fix = hostFileFix(survey.context, manifest->path); !fix.command.empty() || !own) {
      attach(fix, report);
    } else {
      attach(rewriteFix(survey.context, placeOf(survey, target), manifest, true), report);
      report.advise("that registers the host beside this tool instead");
    }
    return;
  }
  Fix fix = rewriteFix(survey.context, placeOf(survey, target), manifest, true);
  if (!fix.command.empty()) {
    attach(fix, report);
    if (!own) {
      report.advise("it was not written by this tool, so install replaces it only with --force");
    }
    return;
  }
  report.advise(own ? "register the host again with install and the extension's id"
                    : "it was not written by this tool: mend it by hand, or replace it with "
                      "install --force and the extension's id");
}

// What a loaded manifest says beyond its faults.
void reportNotes(const setup::Manifest& manifest, bool clean, Findings& report) {
  if (setup::ownerOf(manifest) == setup::ManifestOwner::kPackage) {
    report.note(setup::packageManifestNote());
  } else if (!setup::isOwnManifest(manifest)) {
    report.note("it was not written by this tool");
  }
  for (const std::string& entry : manifest.allowed) {
    if (clean && manifest.family == setup::Family::kChromium && setup::checkChromiumOrigin(entry)) {
      report.warning("the allowed_origins entry \"" + entry +
                     "\" names no extension (chrome-extension://<32 letters a to p>/), so "
                     "no extension can connect through it; the browser accepts the file");
    }
  }
  report.note("it allows " + someOf(manifest.allowed, "no extension"));
}

// Reads and checks the manifest of one target as its browser would;
// nothing when none is there or the browser cannot use it.
std::optional<FoundManifest> examine(const Survey& survey, const Target& target, Findings& report) {
  const FileContents contents = setup::readWholeFile(target.manifestPath);
  report.about(std::string(browserOf(survey, target).key), target.manifestPath);
  report.heading(target.label + ": " + target.manifestPath);
  if (contents.state != FileState::kPresent) {
    const bool chosen =  // not read by the doctor's own rule
        contents.state == FileState::kTooLarge || contents.state == FileState::kSteered;
    report.problem((chosen ? "not judged, since not read: " : "cannot read it: ") +
                   contents.reason);
    if (contents.state == FileState::kUnreadable) {
      attach(readableFix(survey.context, target.manifestPath), report);
    }
    return std::nullopt;
  }
  const ManifestJudgement judgement =
      judgeManifest(contents.text, target.family, survey.context.options.name);
  // Firefox passes over a per-user manifest it refuses to the system-wide
  // one, which is judged on its own.
  const bool passedOver = target.family == setup::Family::kFirefox &&
                          target.scope == Scope::kUser &&
                          present(systemWidePath(survey, browserOf(survey, target)));
  for (const std::string& fault : judgement.faults) {
    passedOver
        ? report.warning(fault + "; Firefox passes over this file to the system-wide manifest")
        : report.problem(fault);
  }
  const std::optional<setup::Manifest>& manifest = judgement.manifest;
  // A host file that cannot run is the browser's next refusal.
  setup::Problem hostFault;
  if (manifest && manifest->path.starts_with('/')) hostFault = setup::checkHostPath(manifest->path);
  report.problem(hostFault);
  if (judgement.faults.empty() && !hostFault) {
    report.fine("the manifest is well formed");
  } else {
    reportMend(survey, target, judgement, hostFault.has_value(), report);
  }
  if (manifest) reportNotes(*manifest, judgement.faults.empty(), report);
  if (!manifest || !judgement.faults.empty()) return std::nullopt;
  return FoundManifest{target, *manifest};
}

// Where doctor looked, for when it found nothing.
void reportNothingFound(const Survey& survey, Findings& report) {
  const setup::Context& context = survey.context;
  report.heading("Manifests:");
  report.problem("no manifest named " + setup::manifestFileName(context.options.name) +
                 " was found in any of these folders:");
  // Not a command: the extension's id is not known here.
  report.advise(
      "register the host with: ostrel-native-host-setup install --browser NAME --origin "
      "chrome-extension://<id>/ (Chromium family) or --extension-id ID (Firefox); doctor "
      "--browser NAME --origin ... then prints the exact command");
  for (const Target& target : survey.list.targets) report.heading("    " + target.folder);
  const setup::Environment& environment = context.environment;
  if (environment.platform != setup::Platform::kLinux || context.options.userDataDir ||
      context.options.system) {
    return;
  }
  const std::string below =
      ", so the Chromium family's folders are below " + environment.configHome;
  if (environment.xdgConfigHome.empty()) {
    report.note("XDG_CONFIG_HOME is not set" + below);
  } else if (environment.xdgConfigHome.starts_with('/')) {
    report.note("XDG_CONFIG_HOME is set" + below);
  } else {
    report.note("XDG_CONFIG_HOME is \"" + environment.xdgConfigHome +
                "\", not an absolute path, so it was ignored and " + environment.configHome +
                " used");
  }
}

// Per browser, which of a per-user and a system-wide manifest it uses.
void reportWinners(const Survey& survey, Findings& report) {
  for (const Target& user : survey.list.targets) {
    if (user.scope != Scope::kUser || user.browser == nullptr || !present(user.manifestPath) ||
        !present(systemWidePath(survey, *user.browser))) {
      continue;
    }
    report.about(std::string(user.browser->key), user.manifestPath);
    report.note(std::string(user.browser->displayName) +
                " has a per-user and a system-wide manifest: " +
                (user.family == setup::Family::kChromium
                     ? "it uses the per-user one, " + user.manifestPath +
                           ", even when that one is broken (unless policy turns per-user hosts off)"
                     : "Firefox tries the per-user one, " + user.manifestPath +
                           ", and passes to the system-wide one when it is broken or does not list "
                           "the add-on"));
  }
}

// What the registrations of a family allow (the entries its browsers
// accept, each once), and the host they name.
struct Registered {
  std::vector<std::string> allowed;
  std::string host;
};

Registered registeredFor(const Survey& survey, setup::Family family) {
  Registered registered;
  std::unordered_set<std::string> seen;  // a manifest may list many: no search per entry
  for (const FoundManifest& entry : survey.found) {
    if (entry.target.family != family) continue;
    for (const std::string& id : entry.manifest.allowed) {
      const bool valid = family == setup::Family::kChromium ? !setup::checkChromiumOrigin(id)
                                                            : !setup::checkFirefoxExtensionId(id);
      if (valid && seen.insert(id).second) registered.allowed.push_back(id);
    }
    registered.host = entry.manifest.path;
  }
  return registered;
}

// Whether `browser` runs now, each time with a profile folder of its own:
// its default folder is not what the user uses.
bool runsOnlyElsewhere(const Survey& survey, const setup::Browser& browser) {
  bool runs = false;
  for (const RunningBrowser& running : survey.running) {
    if (running.browser != &browser) continue;
    if (ownUserDataDir(running, survey.context.environment).empty()) return false;
    runs = true;
  }
  return runs;
}

}  // namespace

const setup::Browser& browserOf(const Survey& survey, const Target& target) {
  if (target.browser != nullptr) return *target.browser;
  for (const RunningBrowser& running : survey.running) {
    if (running.family == setup::Family::kChromium && !running.userDataDir.empty() &&
        setup::userDataManifestFolder(running.userDataDir) == target.folder) {
      return *running.browser;
    }
  }
  const auto& named = survey.context.options.browsers;
  for (const setup::Browser* browser : named) {
    if (browser->family == target.family) return *browser;
  }
  return *setup::findBrowser("chromium");
}

void checkRegistrations(Survey& survey, Findings& findings) {
  bool any = false;
  for (const Target& target : survey.list.targets) {
    if (!present(target.manifestPath)) continue;
    any = true;
    if (std::optional<FoundManifest> found = examine(survey, target, findings)) {
      survey.found.push_back(std::move(*found));
    }
  }
  findings.about("", "");
  if (!any) reportNothingFound(survey, findings);
  reportWinners(survey, findings);
}

// The browsers that will look for the host but find no registration: one
// that looks installed while another of its family has one, and a running
// Chromium-family browser whose own profile folder has none while no
// system-wide registration serves it.
void checkUncovered(Survey& survey, Findings& findings) {
  const setup::Context& context = survey.context;
  if (context.options.userDataDir || context.options.system || survey.found.empty()) return;
  bool headed = false;
  auto heading = [&] {
    if (!headed) findings.heading("Browsers that will look for the host:");
    headed = true;
  };
  std::set<const setup::Browser*> seen;
  const Registered registered[] = {registeredFor(survey, setup::Family::kChromium),
                                   registeredFor(survey, setup::Family::kFirefox)};
  for (const Target& target : survey.list.targets) {
    const setup::Browser& browser = browserOf(survey, target);
    if (target.scope != Scope::kUser || present(target.manifestPath) ||
        present(systemWidePath(survey, browser))) {
      continue;
    }
    const auto& [allowed, host] = registered[target.family == setup::Family::kChromium ? 0 : 1];
    if (target.browser != nullptr) {
      std::optional<std::string> sign = setup::installationSign(browser, context.environment);
      if (allowed.empty() || !sign || !seen.insert(&browser).second ||
          runsOnlyElsewhere(survey, browser)) {
        continue;
      }
      heading();
      findings.about(std::string(browser.key), "");
      findings.warning(std::string(browser.displayName) + " looks installed (" + *sign +
                       ") but has no registration, while another " +
                       std::string(setup::familyName(target.family)) +
                       " browser has one: an extension in it cannot start the host");
      attach(runnable(installCommand(context, placeOf(survey, target), allowed, host), false,
                      context.environment),
             findings);
      continue;
    }
    for (const RunningBrowser& running : survey.running) {
      if (running.userDataDir.empty() ||
          setup::userDataManifestFolder(running.userDataDir) != target.folder) {
        continue;
      }
      heading();
      findings.about(std::string(browser.key), target.manifestPath);
      findings.problem(running.program + " (pid " + std::to_string(running.pid) +
                       ") runs with --user-data-dir=" + running.userDataDir +
                       "; it reads host manifests only from " + target.folder +
                       ", where there is none");
      if (!allowed.empty()) {
        attach(runnable(installCommand(context, placeOf(survey, target), allowed, host), false,
                        context.environment),
               findings);
      }
      break;
    }
  }
  findings.about("", "");
}

}  // namespace ostrel::doctor
