#include "verdict.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "extension_id.h"
#include "files.h"
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

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string quotedWord(const std::string& word) { return setup::shellWords({word}); }

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Verdict no(std::string reason, std::string file, std::string fix = {}) {
  Verdict verdict;
  verdict.reason = std::move(reason);
  verdict.file = std::move(file);
  verdict.fix = std::move(fix);
  return verdict;
}

// A "no" whose fix is `command`, run as root where `root` says.
Verdict no(std::string reason, std::string file, const std::string& command, bool root,
           const setup::Environment& environment) {
  Verdict verdict = no(std::move(reason), std::move(file));
  if (command.empty()) return verdict;
  if (!root) {
    verdict.fix = command;
  } else if (std::optional<std::string> run = asRoot(command, environment)) {
    verdict.fix = *run;
  } else {
    verdict.advice = "as root (sudo is not installed), run: " + command;
  }
  return verdict;
}

std::string manifestName(const Context& context) {
  return setup::manifestFileName(context.options.name);
}

// The allowed entries of `manifest` that its browser accepts, plus `added`.
std::vector<std::string> keptAllowed(const setup::Manifest* manifest, Family family,
                                     const std::string& added) {
  std::vector<std::string> allowed;
  if (manifest != nullptr) {
    for (const std::string& entry : manifest->allowed) {
      const bool valid = family == Family::kChromium ? !setup::checkChromiumOrigin(entry)
                                                     : !setup::checkFirefoxExtensionId(entry);
      if (valid && std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) {
        allowed.push_back(entry);
      }
    }
  }
  if (!added.empty() && std::find(allowed.begin(), allowed.end(), added) == allowed.end()) {
    allowed.push_back(added);
  }
  return allowed;
}

// The command that mends a manifest at `path` that the browser refuses or
// that does not allow the extension: install again, with force when this
// tool did not write it, and never for a manifest the package owns.
std::string rewriteCommand(const Context& context, const Question& question, Scope scope,
                           const std::optional<setup::Manifest>& manifest, bool present) {
  const Family family = question.browser->family;
  const bool packaged = manifest && setup::ownerOf(*manifest) == setup::ManifestOwner::kPackage;
  if (packaged) return {};
  const bool own = manifest && setup::isOwnManifest(*manifest);
  std::string hostPath = manifest ? manifest->path : std::string();
  if (hostPath.empty() || setup::checkHostPath(hostPath)) hostPath.clear();
  return installCommand(
      context, question.browser, question.userDataDir, scope,
      keptAllowed(manifest ? &*manifest : nullptr, family, allowedFormOf(family, question.id)),
      hostPath, present && !own);
}

// A "no" whose fix is the command that rewrites the manifest of `scope`,
// with force where a file this tool did not write is there (`present`).
Verdict rewritten(const Context& context, const Question& question, Scope scope,
                  const std::optional<setup::Manifest>& manifest, bool present, std::string reason,
                  std::string file) {
  return no(std::move(reason), std::move(file),
            rewriteCommand(context, question, scope, manifest, present), scope == Scope::kSystem,
            context.environment);
}

// Why the host file named by a loaded manifest cannot be started, and the
// command that mends it.
std::optional<Verdict> hostFileFault(const Context& context, const std::string& manifestPath,
                                     const std::string& host) {
  if (!exists(host)) {
    return no("the host " + host + " that " + manifestPath + " names does not exist", manifestPath);
  }
  if (setup::Problem problem = setup::checkHostPath(host)) {
    struct stat info {};
    if (::stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
      return no(*problem, host, "chmod +x " + quotedWord(host), info.st_uid != ::geteuid(),
                context.environment);
    }
    return no(*problem, host);
  }
  return std::nullopt;
}

struct Seen {
  InstalledExtension extension;
  std::string where;
};

// The running browsers of the question's browser.
std::vector<const RunningBrowser*> runsOf(const Question& question,
                                          const std::vector<RunningBrowser>& running) {
  std::vector<const RunningBrowser*> runs;
  for (const RunningBrowser& browser : running) {
    if (browser.browser == question.browser) runs.push_back(&browser);
  }
  return runs;
}

// The profiles the question's browser reads: below the profile folder
// asked about or its default ones, and those a running browser of it was
// started with.
std::vector<Profile> profilesOf(const Context& context, const Question& question,
                                const std::vector<RunningBrowser>& running) {
  const Family family = question.browser->family;
  std::vector<std::string> roots;
  if (question.userDataDir) {
    roots.push_back(*question.userDataDir);
  } else {
    roots = setup::profilesRoots(*question.browser, context.environment);
  }
  std::vector<Profile> profiles;
  for (const RunningBrowser* browser : runsOf(question, running)) {
    if (!browser->userDataDir.empty() && !question.userDataDir) {
      roots.push_back(browser->userDataDir);
    }
    if (browser->profile.empty()) continue;
    if (std::optional<Profile> profile = setup::profileAt(family, browser->profile)) {
      profiles.push_back(std::move(*profile));
    }
  }
  for (const std::string& root : roots) {
    std::vector<Profile> found = setup::findProfiles(family, root);
    std::move(found.begin(), found.end(), std::back_inserter(profiles));
  }
  return profiles;
}

// Where the extension is installed for this browser: its profiles, and
// the extension folders a running browser of it was told to load.
std::optional<Seen> findExtension(const std::vector<Profile>& profiles, const Question& question,
                                  const std::vector<RunningBrowser>& running) {
  const Family family = question.browser->family;
  for (const Profile& profile : profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      if (idOf(family, extension.id) == question.id) return Seen{extension, profile.folder};
    }
  }
  for (const RunningBrowser* browser : runsOf(question, running)) {
    for (const InstalledExtension& extension : loadedExtensions(*browser)) {
      if (extension.id != question.id) continue;
      return Seen{extension, "--load-extension of " + browser->program + " (pid " +
                                 std::to_string(browser->pid) + ")"};
    }
  }
  return std::nullopt;
}

std::optional<Verdict> extensionFault(const Context& context, const Question& question,
                                      const std::vector<RunningBrowser>& running,
                                      std::vector<std::string>& warnings) {
  const Family family = question.browser->family;
  const std::string what =
      family == Family::kChromium ? "the extension " + question.id : "the add-on " + question.id;
  const std::vector<Profile> profiles = profilesOf(context, question, running);
  std::optional<Seen> seen = findExtension(profiles, question, running);
  const std::vector<const RunningBrowser*> runs = runsOf(question, running);
  if (!seen && !runs.empty() && !profiles.empty()) {
    // The browser runs, and its profiles were read: the extension is not
    // in it.
    std::vector<std::string> ids;
    for (const Profile& profile : profiles) {
      for (const InstalledExtension& extension : profile.extensions) {
        if (std::find(ids.begin(), ids.end(), extension.id) == ids.end()) {
          ids.push_back(extension.id);
        }
      }
    }
    std::string there;
    for (const std::string& id : ids) there += (there.empty() ? "" : ", ") + id;
    return no(what + " is not installed in the running " + runs.front()->program + " (pid " +
                  std::to_string(runs.front()->pid) + "), whose profiles hold " +
                  (there.empty() ? std::string("no extension") : there) +
                  ": the browser starts the host only for an installed extension that the "
                  "manifest allows",
              profiles.front().folder);
  }
  if (!seen) {
    warnings.push_back(what + " was not found installed in any profile of " +
                       std::string(question.browser->displayName) +
                       " (it may be loaded when the browser starts)");
    return std::nullopt;
  }
  if (seen->extension.disabled) {
    return no(what + " is disabled in " + seen->where + " (" + seen->extension.file +
                  "); a disabled " + (family == Family::kChromium ? "extension" : "add-on") +
                  " cannot connect: enable it in " +
                  (family == Family::kChromium ? "chrome://extensions" : "about:addons"),
              seen->extension.file);
  }
  if (seen->extension.nativeMessaging == false) {
    return no(what + " lacks the \"nativeMessaging\" permission (" + seen->extension.file +
                  "), so connectNative is not a function for it; add \"nativeMessaging\" to "
                  "\"permissions\" in its manifest.json and reload it",
              seen->extension.file);
  }
  return std::nullopt;
}

Verdict judgeChromium(const Context& context, const Question& question,
                      const std::vector<RunningBrowser>& running) {
  const Browser& browser = *question.browser;
  const std::string name = context.options.name;
  NativeMessagingPolicies policies = readPolicies(browser, context.environment);
  if (auto why = hostBlockedBy(policies, name)) return no(*why, policies.blocklist->file);
  if (auto why = permissionBlockedBy(policies, question.id)) {
    return no(*why, policies.blockedPermission->file);
  }
  const std::string userFolder =
      question.userDataDir
          ? setup::userDataManifestFolder(*question.userDataDir)
          : setup::manifestFolder(browser, Scope::kUser, context.environment).value_or("");
  const std::optional<std::string> systemFolder =
      setup::manifestFolder(browser, Scope::kSystem, context.environment);
  const std::string userPath = setup::joinPath(userFolder, manifestName(context));
  const std::string systemPath =
      systemFolder ? setup::joinPath(*systemFolder, manifestName(context)) : std::string();
  const std::optional<std::string> userOff = userLevelHostsOffBy(policies);
  std::string chosen;
  Scope scope = Scope::kUser;
  if (!userOff && exists(userPath)) {
    chosen = userPath;
  } else if (!systemPath.empty() && exists(systemPath)) {
    chosen = systemPath;
    scope = Scope::kSystem;
  }
  if (chosen.empty()) {
    if (userOff && exists(userPath)) {
      return rewritten(context, question, Scope::kSystem, std::nullopt, false,
                       "the per-user manifest " + userPath + " is ignored: " + *userOff +
                           "; a system-wide registration would work",
                       policies.userLevelHosts->file);
    }
    return rewritten(context, question, Scope::kUser, std::nullopt, false,
                     "no manifest named " + manifestName(context) + " is in " + userFolder +
                         (systemPath.empty() ? std::string() : " or " + *systemFolder) +
                         ", where " + std::string(browser.displayName) + " looks",
                     userPath);
  }
  FileContents contents = setup::readWholeFile(chosen);
  if (contents.state != FileState::kPresent) {
    return no("the browser cannot read " + chosen + ": " + contents.reason, chosen);
  }
  ManifestJudgement judgement = judgeManifest(contents.text, Family::kChromium, name);
  const std::string which = scope == Scope::kUser ? "the per-user manifest " + chosen
                                                  : "the system-wide manifest " + chosen;
  if (!judgement.faults.empty()) {
    return rewritten(context, question, scope, judgement.manifest, true,
                     which + ", which " + std::string(browser.displayName) +
                         " uses, is refused: " + judgement.faults.front(),
                     chosen);
  }
  const setup::Manifest& manifest = *judgement.manifest;
  if (!allowsExtension(manifest, question.id)) {
    return rewritten(
        context, question, scope, judgement.manifest, true,
        which + " does not allow " + allowedFormOf(Family::kChromium, question.id) +
            " (it allows " +
            (manifest.allowed.empty() ? std::string("none") : setup::shellWords(manifest.allowed)) +
            "); the browser says \"Access to the specified native messaging host is "
            "forbidden.\"",
        chosen);
  }
  if (auto fault = hostFileFault(context, chosen, manifest.path)) return *fault;
  Verdict verdict;
  if (auto fault = extensionFault(context, question, running, verdict.warnings)) return *fault;
  verdict.yes = true;
  verdict.manifestPath = chosen;
  verdict.manifest = manifest;
  if (scope == Scope::kUser && exists(systemPath)) {
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
  const Browser& browser = *question.browser;
  const std::string name = context.options.name;
  // Firefox finds per-user manifests below its own home folder.
  const RunningBrowser* elsewhere = elsewhereRun(context, question, running);
  const setup::Environment world =
      elsewhere != nullptr ? worldOf(*elsewhere, context.environment) : context.environment;
  std::vector<std::pair<Scope, std::string>> candidates;
  for (Scope scope : {Scope::kUser, Scope::kSystem}) {
    if (auto folder = setup::manifestFolder(browser, scope, world)) {
      candidates.emplace_back(scope, setup::joinPath(*folder, manifestName(context)));
    }
  }
  std::optional<Verdict> first;  // the first refusal, which the report names
  for (const auto& [scope, path] : candidates) {
    if (!exists(path)) continue;
    FileContents contents = setup::readWholeFile(path);
    Verdict refusal;
    if (contents.state != FileState::kPresent) {
      refusal = no("Firefox cannot read " + path + ": " + contents.reason, path);
    } else {
      ManifestJudgement judgement = judgeManifest(contents.text, Family::kFirefox, name);
      if (!judgement.faults.empty()) {
        refusal = rewritten(context, question, scope, judgement.manifest, true,
                            path + " is refused by Firefox: " + judgement.faults.front(), path);
      } else if (!allowsExtension(*judgement.manifest, question.id)) {
        std::string why = path + " does not list the add-on id " + question.id;
        why += " in allowed_extensions (it lists " + setup::shellWords(judgement.manifest->allowed);
        why += "); Firefox says \"No such native application " + name + "\"";
        refusal = rewritten(context, question, scope, judgement.manifest, true, why, path);
      } else {
        if (auto fault = hostFileFault(context, path, judgement.manifest->path)) return *fault;
        Verdict verdict;
        if (auto fault = extensionFault(context, question, running, verdict.warnings)) {
          return *fault;
        }
        verdict.yes = true;
        verdict.manifestPath = path;
        verdict.manifest = judgement.manifest;
        if (first) {
          verdict.notes.push_back("Firefox passes over " + first->file + " (" + first->reason +
                                  ") and uses " + path);
        }
        return verdict;
      }
    }
    if (!first) first = refusal;
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
  Verdict verdict = no(why, file);
  verdict.advice = "start Firefox with HOME=" + context.environment.home +
                   " (a service or launcher that clears the environment drops it), or register "
                   "the host system-wide";
  return verdict;
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

std::string installCommand(const Context& context, const Browser* browser,
                           const std::optional<std::string>& userDataDir, Scope scope,
                           const std::vector<std::string>& allowed, const std::string& hostPath,
                           bool force) {
  std::string command = "ostrel-native-host-setup install";
  // A system-wide manifest serves every profile folder of the browser.
  if (userDataDir && scope != Scope::kSystem) {
    command += " --user-data-dir " + quotedWord(*userDataDir);
  } else if (browser != nullptr) {
    command += " --browser " + std::string(browser->key);
  }
  if (scope == Scope::kSystem) command += " --system";
  const Family family = browser != nullptr ? browser->family : Family::kChromium;
  const char* option = family == Family::kChromium ? " --origin " : " --extension-id ";
  for (const std::string& id : allowed) command += option + quotedWord(id);
  if (!hostPath.empty() && resolved(hostPath) != resolved(context.defaultHostPath)) {
    command += " --host-path " + quotedWord(hostPath);
  }
  if (context.options.name != setup::kDefaultHostName) command += " --name " + context.options.name;
  if (force) command += " --force";
  return command;
}

std::optional<std::string> asRoot(const std::string& command,
                                  const setup::Environment& environment) {
  if (::geteuid() == 0) return command;
  std::string_view path = environment.searchPath;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find(':'), path.size());
    const std::string folder(path.substr(0, end));
    path.remove_prefix(std::min(end + 1, path.size()));
    if (!folder.starts_with('/')) continue;
    const std::string sudo = setup::joinPath(folder, "sudo");
    struct stat info {};
    if (::stat(sudo.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(sudo.c_str(), X_OK) == 0) {
      return "sudo " + command;
    }
  }
  return std::nullopt;
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
    if (resolved(root) == resolved(browser.userDataDir)) return {};
  }
  return browser.userDataDir;
}

std::vector<InstalledExtension> loadedExtensions(const RunningBrowser& browser) {
  std::vector<InstalledExtension> loaded;
  for (const std::string& folder : browser.loadedExtensions) {
    std::optional<std::vector<std::string>> permissions = setup::manifestPermissions(folder);
    setup::ExtensionIdReading reading = setup::extensionIdOfPath(folder);
    if (!permissions || !reading.id) continue;
    loaded.push_back({.id = *reading.id,
                      .name = {},
                      .unpacked = true,
                      .disabled = false,
                      .nativeMessaging = std::find(permissions->begin(), permissions->end(),
                                                   "nativeMessaging") != permissions->end(),
                      .file = setup::joinPath(folder, "manifest.json")});
  }
  return loaded;
}

Verdict judge(const Context& context, const Question& question,
              const std::vector<RunningBrowser>& running) {
  return question.browser->family == Family::kChromium ? judgeChromium(context, question, running)
                                                       : judgeFirefox(context, question, running);
}

}  // namespace ostrel::doctor
