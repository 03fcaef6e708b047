#include "verdict.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "extension_id.h"
#include "files.h"
#include "host_check.h"
#include "installed_extensions.h"
#include "manifest_rules.h"
#include "package_manifest.h"
#include "policies.h"
#include "tools/common/paths.h"
#include "validation.h"

namespace ostrel::doctor {
namespace {

using setup::Browser;
using setup::Context;
using setup::Family;
using setup::FileContents;
using setup::FileState;
using setup::InstalledExtension;
using setup::Profile;
using setup::Scope;

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Verdict no(std::string reason, std::string file, Fix fix = {}) {
  Verdict verdict;
  verdict.reason = std::move(reason);
  verdict.file = std::move(file);
  verdict.fix = std::move(fix);
  return verdict;
}

std::string manifestName(const Context& context) {
  return setup::manifestFileName(context.options.name);
}

// A "no" whose fix rewrites the manifest of `scope` so that it allows the
// extension, with force where a file this tool did not write is there.
Verdict rewritten(const Context& context, const Question& question, Scope scope,
                  const std::optional<setup::Manifest>& manifest, bool present, std::string reason,
                  std::string file) {
  const Place place{
      .browser = question.browser, .userDataDir = question.userDataDir, .scope = scope};
  return no(std::move(reason), std::move(file),
            rewriteFix(context, place, manifest, present,
                       allowedFormOf(question.browser->family, question.id)));
}

// Why the host file named by a loaded manifest cannot be started, and the
// command that mends it.
std::optional<Verdict> hostFileFault(const Context& context, const std::string& manifestPath,
                                     const std::string& host) {
  if (!exists(host)) {
    return no("the host " + host + " that " + manifestPath + " names does not exist", manifestPath);
  }
  if (setup::Problem problem = setup::checkHostPath(host)) {
    return no(*problem, host, hostFileFix(context, host));
  }
  return std::nullopt;
}

// The running instances of the question's browser.
std::vector<const RunningBrowser*> runsOf(const Question& question,
                                          const std::vector<RunningBrowser>& running) {
  std::vector<const RunningBrowser*> runs;
  for (const RunningBrowser& browser : running) {
    if (browser.browser == question.browser) runs.push_back(&browser);
  }
  return runs;
}

// The ids of `profiles`, each once, for words.
std::string idsIn(const std::vector<Profile>& profiles) {
  std::vector<std::string> ids;
  for (const Profile& profile : profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      if (std::find(ids.begin(), ids.end(), extension.id) == ids.end()) ids.push_back(extension.id);
    }
  }
  return someOf(ids, "no extension");
}

// The "no" for an extension loaded, without its key, under another id than
// the one asked about, when it asks for nativeMessaging: the one meant,
// most likely.
std::optional<Verdict> keylessFault(const Question& question,
                                    const std::vector<Profile>& profiles) {
  for (const Profile& profile : profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      if (!extension.idFromFolder || extension.nativeMessaging != true) continue;
      return no("the extension " + extension.file.substr(0, extension.file.rfind('/')) +
                    ", which asks for nativeMessaging, was loaded without a key: its id is " +
                    extension.id + ", the registration allows " +
                    allowedFormOf(Family::kChromium, question.id) +
                    "; the browser says \"Access to the specified native messaging host is "
                    "forbidden.\"",
                extension.file,
                {.command = {},
                 .advice = "give its manifest.json the \"key\" whose id is " + question.id +
                           ", or register the id " + extension.id});
    }
  }
  return std::nullopt;
}

// Why the extension is not installed as the browser needs it, when it
// is not: not there (while the browser runs and its files were read),
// loaded without its key under another id, disabled, or without the
// permission.
std::optional<Verdict> extensionFault(const Context& context, const Question& question,
                                      const std::vector<RunningBrowser>& running,
                                      std::vector<std::string>& warnings) {
  const bool chromium = question.browser->family == Family::kChromium;
  const std::string what = (chromium ? "the extension " : "the add-on ") + question.id;
  const std::vector<Profile> profiles =
      profilesFor(context, *question.browser, question.userDataDir, running);
  for (const Profile& profile : profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      if (idOf(question.browser->family, extension.id) != question.id) continue;
      if (extension.disabled) {
        return no(what + " is disabled in " + profile.folder + " (" + extension.file +
                      "); a disabled " + (chromium ? "extension" : "add-on") +
                      " cannot connect: enable it in " +
                      (chromium ? "chrome://extensions" : "about:addons"),
                  extension.file);
      }
      if (extension.nativeMessaging == false) {
        return no(what + " lacks the \"nativeMessaging\" permission (" + extension.file +
                      "), so connectNative is not a function for it; add \"nativeMessaging\" to "
                      "\"permissions\" in its manifest.json and reload it",
                  extension.file);
      }
      return std::nullopt;
    }
  }
  if (std::optional<Verdict> keyless = keylessFault(question, profiles)) return keyless;
  const std::vector<const RunningBrowser*> runs = runsOf(question, running);
  for (const Profile& profile : profiles) {
    for (const std::string& unread : profile.unread) {
      warnings.push_back("whether " + what + " is installed is not known: the browser's file ");
      warnings.back() += unread;
    }
  }
  if (runs.empty() || profiles.empty() || !warnings.empty()) {
    warnings.push_back(what + " was not found installed in any profile of " +
                       std::string(question.browser->displayName) +
                       " (it may be loaded when the browser starts)");
    return std::nullopt;
  }
  // The browser runs, and its profiles were read: the extension is not in it.
  return no(what + " is not installed in the running " + runs.front()->program + " (pid " +
                std::to_string(runs.front()->pid) + "), whose profiles hold " + idsIn(profiles) +
                ": the browser starts the host only for an installed extension that the "
                "manifest allows",
            profiles.front().folder);
}

// Why the browser refuses the manifest at `path` in `scope` for the
// question's extension; nothing when it loads it and it allows the
// extension, which is then in `manifest`.
std::optional<Verdict> refusalOf(const Context& context, const Question& question, Scope scope,
                                 const std::string& path, setup::Manifest& manifest) {
  const Browser& browser = *question.browser;
  const bool chromium = browser.family == Family::kChromium;
  const FileContents contents = setup::readWholeFile(path);
  if (contents.state == FileState::kTooLarge) {
    return no("the doctor did not read " + path + ": " + contents.reason + "; whether " +
                  std::string(browser.displayName) + " accepts it is not known",
              path,
              {.command = {},
               .advice = "a host manifest is a few hundred bytes: see what fills this one, or "
                         "write it anew with install --force"});
  }
  if (contents.state == FileState::kSteered) {
    return no("the doctor did not read " + path + ": " + contents.reason + "; whether " +
                  std::string(browser.displayName) + " accepts it is not known",
              path);
  }
  if (contents.state != FileState::kPresent) {
    return no(std::string(browser.displayName) + " cannot read " + path + ": " + contents.reason,
              path, contents.state == FileState::kUnreadable ? readableFix(context, path) : Fix{});
  }
  const ManifestJudgement judgement =
      judgeManifest(contents.text, browser.family, context.options.name);
  const std::string which =
      (scope == Scope::kUser ? "the per-user manifest " : "the system-wide manifest ") + path;
  if (!judgement.faults.empty()) {
    return rewritten(
        context, question, scope, judgement.manifest, true,
        which + (chromium ? ", which Chromium uses, is refused: " : " is refused by Firefox: ") +
            judgement.faults.front(),
        path);
  }
  const std::vector<std::string>& allowed = judgement.manifest->allowed;
  if (!allowsExtension(*judgement.manifest, question.id)) {
    const std::string listed = someOf(allowed, "none");
    return rewritten(
        context, question, scope, judgement.manifest, true,
        which + (chromium ? " does not allow " + allowedFormOf(Family::kChromium, question.id) +
                                " (it allows " + listed +
                                "); the browser says \"Access to the specified native messaging "
                                "host is forbidden.\""
                          : " does not list the add-on id " + question.id +
                                " in allowed_extensions (it lists " + listed +
                                "); Firefox says \"No such native application " +
                                context.options.name + "\""),
        path);
  }
  manifest = *judgement.manifest;
  return std::nullopt;
}

// The verdict on a manifest the browser loads and that allows the
// extension: its host file and the extension itself decide.
Verdict accepted(const Context& context, const Question& question,
                 const std::vector<RunningBrowser>& running, const std::string& path,
                 const setup::Manifest& manifest) {
  if (auto fault = hostFileFault(context, path, manifest.path)) return *fault;
  Verdict verdict;
  if (auto fault = extensionFault(context, question, running, verdict.warnings)) return *fault;
  verdict.yes = true;
  verdict.manifestPath = path;
  verdict.manifest = manifest;
  return verdict;
}

// Whether the question's extension is installed unpacked (from a folder),
// which policy treats apart.
bool installedUnpacked(const Context& context, const Question& question,
                       const std::vector<RunningBrowser>& running) {
  for (const Profile& profile :
       profilesFor(context, *question.browser, question.userDataDir, running)) {
    for (const InstalledExtension& extension : profile.extensions) {
      if (idOf(Family::kChromium, extension.id) == question.id) return extension.unpacked;
    }
  }
  return false;
}

// The per-user folder Chromium reads manifests from for the question;
// nothing where it reads none: every running instance of it runs headless
// without a profile folder, on a temporary profile of its own.
std::optional<std::string> chromiumUserFolder(const Context& context, const Question& question,
                                              const std::vector<RunningBrowser>& running) {
  if (question.userDataDir) return setup::userDataManifestFolder(*question.userDataDir);
  const std::vector<const RunningBrowser*> runs = runsOf(question, running);
  if (!runs.empty() && std::all_of(runs.begin(), runs.end(), [](const RunningBrowser* run) {
        return run->temporaryProfile;
      })) {
    return std::nullopt;
  }
  return setup::manifestFolder(*question.browser, Scope::kUser, context.environment);
}

// The verdict where Chromium finds no manifest it reads: a per-user one
// ignored by policy, one only in a folder a temporary profile never reads,
// or none.
Verdict unregistered(const Context& context, const Question& question,
                     const std::vector<RunningBrowser>& running,
                     const NativeMessagingPolicies& policies, const std::string& userPath,
                     const std::string& systemPath) {
  const std::string systemFolder = systemPath.empty() ? "" : common::parentFolder(systemPath);
  if (userPath.empty()) {
    const RunningBrowser& run = *runsOf(question, running).front();
    return rewritten(context, question, Scope::kSystem, std::nullopt, false,
                     run.program + " (pid " + std::to_string(run.pid) +
                         ") runs headless without --user-data-dir, on a temporary profile that "
                         "reads no per-user manifest, and no manifest named " +
                         manifestName(context) + " is in " + systemFolder +
                         "; the browser says \"Specified native messaging host not found.\"",
                     systemPath);
  }
  if (std::optional<std::string> off = userLevelHostsOffBy(policies); off && exists(userPath)) {
    return rewritten(context, question, Scope::kSystem, std::nullopt, false,
                     "the per-user manifest " + userPath + " is ignored: " + *off +
                         "; a system-wide registration would work",
                     policies.userLevelHosts->file);
  }
  return rewritten(context, question, Scope::kUser, std::nullopt, false,
                   "no manifest named " + manifestName(context) + " is in " +
                       common::parentFolder(userPath) +
                       (systemFolder.empty() ? std::string() : " or " + systemFolder) + ", where " +
                       std::string(question.browser->displayName) + " looks",
                   userPath);
}

Verdict judgeChromium(const Context& context, const Question& question,
                      const std::vector<RunningBrowser>& running) {
  const Browser& browser = *question.browser;
  const NativeMessagingPolicies policies = readPolicies(browser, context.environment);
  if (auto why = hostBlockedBy(policies, context.options.name)) {
    return no(*why, policies.blocklist->file);
  }
  if (auto why = extensionBlockedBy(policies, question.id,
                                    installedUnpacked(context, question, running))) {
    return no(*why,
              policies.extensions ? policies.extensions->file : policies.installBlocklist->file);
  }
  const std::optional<std::string> userFolder = chromiumUserFolder(context, question, running);
  const std::optional<std::string> systemFolder =
      setup::manifestFolder(browser, Scope::kSystem, context.environment);
  const std::string userPath =
      userFolder ? setup::joinPath(*userFolder, manifestName(context)) : std::string();
  const std::string systemPath =
      systemFolder ? setup::joinPath(*systemFolder, manifestName(context)) : std::string();
  const std::optional<std::string> userOff = userLevelHostsOffBy(policies);
  const bool perUser = !userOff && !userPath.empty() && exists(userPath);
  if (!perUser && (systemPath.empty() || !exists(systemPath))) {
    return unregistered(context, question, running, policies, userPath, systemPath);
  }
  const std::string chosen = perUser ? userPath : systemPath;
  setup::Manifest manifest;
  if (auto refusal =
          refusalOf(context, question, perUser ? Scope::kUser : Scope::kSystem, chosen, manifest)) {
    return *refusal;
  }
  Verdict verdict = accepted(context, question, running, chosen, manifest);
  if (verdict.yes && perUser && exists(systemPath)) {
    verdict.notes.push_back("a system-wide manifest " + systemPath + " is there too; " +
                            std::string(browser.displayName) + " uses the per-user one");
  }
  return verdict;
}

// The running browser of the question's that reads below another home
// folder than this process's, or nullptr.
const RunningBrowser* elsewhereRun(const Context& context, const Question& question,
                                   const std::vector<RunningBrowser>& running) {
  for (const RunningBrowser* browser : runsOf(question, running)) {
    if (!browser->home.empty() && browser->home != context.environment.home) return browser;
  }
  return nullptr;
}

Verdict judgeFirefox(const Context& context, const Question& question,
                     const std::vector<RunningBrowser>& running) {
  // Firefox finds per-user manifests below its own home folder.
  const RunningBrowser* elsewhere = elsewhereRun(context, question, running);
  const setup::Environment world =
      elsewhere != nullptr ? worldOf(*elsewhere, context.environment) : context.environment;
  std::vector<std::pair<Scope, std::string>> candidates;
  for (Scope scope : {Scope::kUser, Scope::kSystem}) {
    if (auto folder = setup::manifestFolder(*question.browser, scope, world)) {
      candidates.emplace_back(scope, setup::joinPath(*folder, manifestName(context)));
    }
  }
  std::optional<Verdict> first;  // the first refusal, which the report names
  for (const auto& [scope, path] : candidates) {
    if (!exists(path)) continue;
    setup::Manifest manifest;
    std::optional<Verdict> refusal = refusalOf(context, question, scope, path, manifest);
    if (!refusal) {
      Verdict verdict = accepted(context, question, running, path, manifest);
      if (verdict.yes && first) {
        verdict.notes.push_back("Firefox passes over " + first->file + " (" + first->reason +
                                ") and uses " + path);
      }
      return verdict;
    }
    if (!first) first = std::move(refusal);
  }
  if (first) return *first;
  std::string folders;
  for (const auto& [scope, path] : candidates) {
    folders += (folders.empty() ? "" : " or ") + common::parentFolder(path);
  }
  std::string why =
      "no manifest named " + manifestName(context) + " is in " + folders + ", where Firefox looks";
  const std::string file = candidates.empty() ? std::string() : candidates.front().second;
  if (elsewhere == nullptr) {
    return rewritten(context, question, Scope::kUser, std::nullopt, false, why, file);
  }
  why += ": the running " + elsewhere->program + " (pid " + std::to_string(elsewhere->pid) +
         ") reads below the home folder " + elsewhere->home +
         (elsewhere->homeFromPasswordDatabase
              ? ", the password database's, since it was started without HOME"
              : ", its HOME") +
         ", not below " + context.environment.home;
  return no(why, file,
            {.command = {},
             .advice = "start Firefox with HOME=" + context.environment.home +
                       " (a service or launcher that clears the environment drops it), or "
                       "register the host system-wide"});
}

}  // namespace

std::string allowedFormOf(Family family, const std::string& id) {
  return family == Family::kChromium ? "chrome-extension://" + id + "/" : id;
}

std::string idOf(Family family, const std::string& allowed) {
  if (family == Family::kFirefox) return allowed;
  std::string id = chromiumIdIn(allowed);
  if (!id.empty()) return id;
  id = allowed;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; });
  return id;
}

std::vector<Profile> profilesFor(const Context& context, const Browser& browser,
                                 const std::optional<std::string>& userDataDir,
                                 const std::vector<RunningBrowser>& running) {
  std::vector<Profile> profiles;
  for (const std::string& root : userDataDir ? std::vector<std::string>{*userDataDir}
                                             : setup::profilesRoots(browser, context.environment)) {
    std::vector<Profile> found = setup::findProfiles(browser.family, root);
    std::move(found.begin(), found.end(), std::back_inserter(profiles));
  }
  for (const RunningBrowser& run : running) {
    if (run.browser != &browser ||
        ownUserDataDir(run, context.environment) != userDataDir.value_or("")) {
      continue;
    }
    Profile loaded{
        .folder = "--load-extension of " + run.program + " (pid " + std::to_string(run.pid) + ")",
        .extensions = loadedExtensions(run),
        .unread = {}};
    if (!loaded.extensions.empty()) profiles.push_back(std::move(loaded));
    std::optional<Profile> own =
        run.profile.empty() ? std::nullopt : setup::profileAt(browser.family, run.profile);
    if (own && std::none_of(profiles.begin(), profiles.end(),
                            [&](const Profile& known) { return known.folder == own->folder; })) {
      profiles.push_back(std::move(*own));
    }
  }
  return profiles;
}

setup::Environment worldOf(const RunningBrowser& browser, const setup::Environment& base) {
  setup::Environment world = base;
  if (browser.home.empty()) return world;
  world.home = browser.home;
  const char* config =
      browser.environment ? entryValue(*browser.environment, "XDG_CONFIG_HOME") : nullptr;
  world.xdgConfigHome = config != nullptr ? config : "";
  world.configHome = config != nullptr && config[0] == '/' ? std::string(config)
                                                           : setup::joinPath(world.home, ".config");
  return world;
}

std::string ownUserDataDir(const RunningBrowser& browser, const setup::Environment& base) {
  if (browser.userDataDir.empty() || browser.browser == nullptr) return browser.userDataDir;
  for (const std::string& root : setup::profilesRoots(*browser.browser, worldOf(browser, base))) {
    if (common::resolvedPath(root) == common::resolvedPath(browser.userDataDir)) return {};
  }
  return browser.userDataDir;
}

std::vector<InstalledExtension> loadedExtensions(const RunningBrowser& browser) {
  std::vector<InstalledExtension> loaded;
  for (const std::string& folder : browser.loadedExtensions) {
    std::optional<std::vector<std::string>> permissions = setup::manifestPermissions(folder);
    if (!permissions) continue;
    // Without a "key", Chromium makes the id from the folder's path as it
    // resolved it, as from a key's bytes.
    const std::optional<std::string> keyed = setup::extensionIdOfPath(folder).id;
    loaded.push_back({.id = keyed.value_or(setup::extensionIdOfKey(common::resolvedPath(folder))),
                      .name = {},
                      .unpacked = true,
                      .disabled = false,
                      .nativeMessaging = std::find(permissions->begin(), permissions->end(),
                                                   "nativeMessaging") != permissions->end(),
                      .file = setup::joinPath(folder, "manifest.json"),
                      .idFromFolder = !keyed});
  }
  return loaded;
}

Verdict checkExtension(const Context& context, const Question& question,
                       const std::vector<RunningBrowser>& running) {
  const Family family = question.browser->family;
  Verdict verdict = family == Family::kChromium ? judgeChromium(context, question, running)
                                                : judgeFirefox(context, question, running);
  if (!verdict.yes) return verdict;
  const HostRun run = runHost(context, verdict.manifestPath, verdict.manifest->path, family,
                              allowedFormOf(family, question.id),
                              startOf(*question.browser, question.userDataDir, running));
  if (std::optional<std::string> why = unreachedBecause(run, context.probeDeadline)) {
    Verdict unreached = no(*why, verdict.manifestPath);
    if (why->starts_with("the host that ")) unreached.fix.advice = kLedAwayAdvice;
    return unreached;
  }
  verdict.notes.push_back("it looks for the application's socket at " + run.setting.path + ", " +
                          run.setting.source + ", " + run.settingFrom);
  if (run.result.outcome == setup::ProbeOutcome::kLeftOut) {
    verdict.warnings.push_back("the host was " + run.result.detail);
  } else if (run.result.outcome == setup::ProbeOutcome::kConnected) {
    verdict.notes.push_back("the host reached the application at " + run.setting.path);
  } else if (run.socket) {
    verdict.warnings.push_back("the application does not answer now at " + run.setting.path + ": " +
                               run.socket->explanation);
  }
  return verdict;
}

}  // namespace ostrel::doctor
